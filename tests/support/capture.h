// Runs a call with standard output sent into a pipe, and returns what the
// call wrote there.
#pragma once

#include <functional>
#include <string>

std::string CaptureStandardOutput(const std::function<void()>& call);
