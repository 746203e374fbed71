// An in-process adapter library that records every call, for tests of the form.
#pragma once

#include "mulvoloader.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace fake {

struct Call
{
    std::string name;
    std::uint32_t handle;
    std::uint64_t arg1; // value, port, device or pointer
    std::uint32_t arg2;
    std::chrono::steady_clock::time_point when;
};

// The state of the fake library. Reset before each test.
struct Adapter
{
    std::uint32_t nextHandle = 0x100; // 0: open finds no adapter
    std::uint32_t inputValue = 0;     // what mbin writes
    std::vector<std::uint32_t> openHandles;
    std::uint32_t armedHandle = 0;
    mulvo_callback callback = nullptr;
    std::vector<std::pair<std::uint32_t, void *>> extensions;
    // The failNth call from now (1: the next) of the function failName (as in Call::name)
    // does nothing (a connect arms all the same) and returns failResult.
    std::string failName;
    int failNth = 0;
    std::int32_t failResult = MULVO_E_ABSENT;
};

// The table the form is given.
const mulvo::Api &api();

// Resets the state: `adapterPresent` false makes open return 0.
void reset(bool adapterPresent = true);
Adapter &state();

// The calls made so far (copied under the fake's lock) and their names only.
std::vector<Call> calls();
std::vector<std::string> callNames();
void clearCalls();

// Raises one interrupt on the armed handle by calling the registered callback on the calling
// thread, as the library's delivery thread would. False when nothing is armed.
bool raiseInterrupt(std::uint32_t value);

} // namespace fake
