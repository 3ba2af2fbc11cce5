// The benchmark's stand-in for the window (bench_view.cpp).
#pragma once

#include <string>

#include "ui/view.h"

// Forgets every text and makes the path box hold `path`.
void BenchViewReset(const std::wstring& path);
std::wstring BenchStatus();
std::wstring BenchLastBox();
int BenchBoxes();
int BenchProgress();
