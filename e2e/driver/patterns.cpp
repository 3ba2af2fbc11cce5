#include "e2e/driver/patterns.h"

#include <vector>

Vars vars;

bool IsNameChar(wchar_t c) {
  return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') ||
         (c >= L'0' && c <= L'9') || c == L'_';
}

namespace {

// The end of "{NAME}" or "{}" starting at `open`, or npos if it is not one.
size_t VariableEnd(const std::wstring& p, size_t open) {
  if (p[open] != L'{') return std::wstring::npos;
  size_t i = open + 1;
  while (i < p.size() && IsNameChar(p[i])) ++i;
  return i < p.size() && p[i] == L'}' ? i : std::wstring::npos;
}

// Lengths of the decimal numbers that start at t[j], longest first.
std::vector<size_t> NumberLengths(const std::wstring& t, size_t j) {
  std::vector<size_t> lengths;
  size_t i = j;
  while (i < t.size() && t[i] >= L'0' && t[i] <= L'9') ++i;
  if (i == j) return lengths;
  size_t whole = i;
  if (i < t.size() && t[i] == L'.') {
    size_t k = i + 1;
    while (k < t.size() && t[k] >= L'0' && t[k] <= L'9') ++k;
    if (k > i + 1) lengths.push_back(k - j);
  }
  for (size_t n = whole; n > j; --n) lengths.push_back(n - j);
  return lengths;
}

bool LikeAt(const std::wstring& p, size_t i, const std::wstring& t, size_t j,
            Vars* bound) {
  if (i == p.size()) return j == t.size();
  if (p[i] == L'*') {
    for (size_t k = j; k <= t.size(); ++k)
      if (LikeAt(p, i + 1, t, k, bound)) return true;
    return false;
  }
  size_t close = VariableEnd(p, i);
  if (close != std::wstring::npos) {
    std::wstring name = p.substr(i + 1, close - i - 1);
    auto known = bound->find(name);
    if (!name.empty() && known != bound->end()) {
      const std::wstring& v = known->second;
      return t.compare(j, v.size(), v) == 0 &&
             LikeAt(p, close + 1, t, j + v.size(), bound);
    }
    for (size_t n : NumberLengths(t, j)) {
      if (!name.empty()) (*bound)[name] = t.substr(j, n);
      if (LikeAt(p, close + 1, t, j + n, bound)) return true;
    }
    if (!name.empty()) bound->erase(name);
    return false;
  }
  return j < t.size() && p[i] == t[j] && LikeAt(p, i + 1, t, j + 1, bound);
}

}  // namespace

// Matches and, on success only, keeps what the pattern bound.
bool Like(const std::wstring& pattern, const std::wstring& text) {
  Vars bound = vars;
  if (!LikeAt(pattern, 0, text, 0, &bound)) return false;
  vars = bound;
  return true;
}

// The text with every bound {NAME} replaced by its value.
std::wstring Expand(const std::wstring& p) {
  std::wstring out;
  for (size_t i = 0; i < p.size(); ++i) {
    size_t close = VariableEnd(p, i);
    auto known = close == std::wstring::npos
                     ? vars.end()
                     : vars.find(p.substr(i + 1, close - i - 1));
    if (known == vars.end()) {
      out += p[i];
      continue;
    }
    out += known->second;
    i = close;
  }
  return out;
}
