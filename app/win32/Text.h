#pragma once
// UTF-8 texts of the shared code to UTF-16 for the system's wide calls.

#include <string>

std::wstring Widen(const std::string& text);
