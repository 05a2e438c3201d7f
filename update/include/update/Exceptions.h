#pragma once
// Failures of the device dialogue.
//
// ESerialException carries the text the operator sees (the window shows
// what() with a full stop appended). EAbort is the silent abort raised when
// the operator cancels; the window shows nothing for it.

#include <stdexcept>
#include <string>

class ESerialException : public std::runtime_error {
 public:
  explicit ESerialException(const std::string& message) : std::runtime_error(message) {}
};

class EAbort : public std::runtime_error {
 public:
  EAbort() : std::runtime_error("Operation aborted") {}
};
