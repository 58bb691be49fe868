// The base of the test helpers that own something while they live (a file, a folder, a process,
// a connection, a floating-point mode): such an owner is neither copied nor assigned.
#pragma once

namespace test_support {

class NoCopy {
protected:
    NoCopy() = default;
    ~NoCopy() = default;

public:
    NoCopy(const NoCopy&) = delete;
    NoCopy& operator=(const NoCopy&) = delete;
};

}  // namespace test_support
