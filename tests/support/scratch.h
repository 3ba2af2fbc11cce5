// Small pieces several native tests share.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

// A fresh, empty host folder for one test, named after `prefix`, the test and
// this process, so that two runs at once never share one. The caller removes
// it.
std::filesystem::path FreshTestFolder(const std::string& prefix);

// The volume names the enumeration lists now, in its order.
std::vector<std::wstring> ListedVolumeNames();
