#pragma once

// Runs the whole benchmark and ends the process with exit code 0.
[[noreturn]] void Start();
