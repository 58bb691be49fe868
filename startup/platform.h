// The thin platform layer: exactly what start-up takes from the operating system. One file per
// platform implements it (platform_posix.cpp, platform_windows.cpp, platform_web.cpp), with
// what more than one of them does the same way in platform_shared.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "lumen/lumen.h"

namespace platform {

using Library = void*;

// Loads the library whose relative path is `path` (UTF-16, '/' separated), resolved against the
// directory of the executable, never the working directory. Null on failure, with the reason
// in `why`.
Library loadLibrary(std::u16string_view path, std::string& why);
// What a user can do about a library that is missing or damaged, as the end of the line that
// reports it ("; keep ..."), or "" where there is nothing to say (a package installs it).
std::string libraryAdvice();
// The address of the entry point `name` exported by `library` itself, or null.
void* findName(Library library, const char* name);
// Releases a library loaded by loadLibrary.
void releaseLibrary(Library library);
// Ends the process with `status` without running static destructors; flushes stdio first.
[[noreturn]] void endProcess(int status);
// The executable's module handle (Linux: its load address).
void* moduleHandle();
// The icon resource `id` of the module `instance`, in the form the Init record carries, or null.
const void* loadIcon(void* instance, int id);
// Raises lumen::Fault{code, argument, address}; `address` is the raising place.
[[noreturn]] void raiseFault(uint32_t code, uint64_t argument, uint64_t address);
// Turns processor faults (invalid access, FP invalid operation, division by zero, illegal
// instruction) into lumen::Fault at the faulting place with the Windows fault codes; writes the
// faulting address into *faultCell when that cell is empty.
void catchProcessorFaults(uint64_t* faultCell);
// Runs `body` under the process's outermost fault handler. POSIX: calls it (faults are C++
// exceptions already). Windows: a structured exception reaching the top is thrown as
// lumen::Fault from the faulting place, so body's own catch gets it after every destructor on
// the way; one that cannot be (non-continuable) abandons body and goes to `lost` instead.
void runUnderFaultHandler(void (*body)(), void (*lost)(const lumen::Fault&));
// The build identifier the Init record carries: `generated` (made at build time) on POSIX;
// on Windows its upper 32 bits replaced by the executable's link time stamp.
uint64_t buildIdentifier(uint64_t generated);
// "module+0xOFFSET" for a code address, or "" when no module holds it.
std::string describeAddress(uint64_t address);
// Writes one line (a newline is added) to standard error; Windows without a standard error
// and the web page also show it.
void writeErrorLine(std::string_view line);

// For the platform files (platform_shared.cpp):
// Writes `line` and a newline to standard error and flushes it.
void writeStandardError(std::string_view line);
// "module+0xOFFSET": `offset` bytes into `module`, in lower-case hexadecimal.
std::string moduleOffset(std::string_view module, uint64_t offset);
// `line` (UTF-8) as a message box shows it: broken into lines of at most `width` characters
// (code points, >= 1), at spaces where it can be, and at most `maxLines` (>= 1) of them, the
// last ending in "..." when the text goes on; lines joined by "\n".
std::string boxText(std::string_view line, std::size_t width, std::size_t maxLines);

}  // namespace platform
