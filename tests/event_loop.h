// Letting the user interface thread's events run from a test, and measuring
// what the process costs meanwhile.
#pragma once

#include <chrono>
#include <functional>

// Lets events run until `done` holds; false when `timeout` passed first.
bool processEventsUntil(const std::function<bool()>& done,
                        std::chrono::milliseconds timeout = std::chrono::seconds(2));

// Runs an event loop for `period`, for tests that show that nothing happens.
void processEventsFor(std::chrono::milliseconds period);

// CPU seconds the whole process (every thread) used.
double processCpuSeconds();
