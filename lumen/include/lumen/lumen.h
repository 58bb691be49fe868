// Lumen: the header shared by the program and the runtime library.
//
// It fixes what crosses the boundary between them: the String layout, the Init record, the
// icon form, the fault type, the calling forms of the operations the program calls, the
// fault codes, and the list of the 132 exported names in binding order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumen {

// A reference-counted text: count, length in UTF-16 units, the units, a terminating NUL unit.
// Blocks holding a String come from AllocMem; the last reference gives it back with FreeMem.
struct String {
    int64_t count;       // references held, >= 1 while alive
    int64_t length;      // UTF-16 units, not counting the NUL
    char16_t units[1];   // length units followed by a NUL unit
};

// Bytes needed for a String of `length` UTF-16 units, NUL included.
constexpr int64_t stringBytes(int64_t length) {
    return static_cast<int64_t>(offsetof(String, units)) + 2 * (length + 1);
}

// The icon as the Linux build passes it in the Init record: an .ico file image in memory
// (ICONDIR, ICONDIRENTRY table, 32-bit BITMAPINFOHEADER images, bottom-up BGRA plus AND mask).
// On Windows the icon field is an HICON from LoadIconW instead.
struct IconFile {
    uint32_t magic;        // kIconMagic
    uint32_t size;         // bytes at data
    const uint8_t* data;   // the .ico file's bytes
};
constexpr uint32_t kIconMagic = 0x4F43494Cu;  // "LICO" in little-endian bytes

// The record handed to Init: 48 bytes, six 8-byte fields. Lives only for the Init call.
struct InitRecord {
    uint64_t buildId;      // upper 32 bits: link time (s since 1970 UTC); lower 32: build tag
    int64_t one;           // always 1
    void* instance;        // the executable's module handle (Linux: its load address)
    const void* icon;      // Linux: const IconFile*; Windows: HICON
    uint64_t* faultCell;   // address of the program's fault location cell
    String* title;         // the window title; released by the program when Init returns
};
static_assert(sizeof(InitRecord) == 48, "the Init record is six 8-byte fields");

// A fault: what the program and Lumen throw (Linux) and what the program's top-level handler
// catches. Codes below 0x80000000 carry a String* message (one reference) or 0 as argument;
// 0x80000000 and above are processor faults, whose argument is not a message.
struct Fault {
    uint32_t code;         // 0 .. 0xFFFFFFFF
    uint64_t argument;     // String* for codes below 0x80000000, or 0
    uint64_t address;      // code address at which the fault was raised or occurred, 0 if unknown
};

// Fault codes.
constexpr uint32_t kEndOfRun = 0;               // orderly end: window closed, script `quit`
constexpr uint32_t kUnsupported = 1001;         // "Lumen: NAME is not supported"
constexpr uint32_t kScriptError = 1002;         // bad LUMEN_SCRIPT or LUMEN_SEED
constexpr uint32_t kOutOfMemory = 1003;         // AllocMem could not get the memory
constexpr uint32_t kBadFree = 1004;             // FreeMem of a block AllocMem did not give
constexpr uint32_t kBadArgument = 1005;         // an operation got arguments it cannot serve
constexpr uint32_t kOutputFailed = 1006;        // a trace, picture, movie or recording not written
constexpr uint32_t kInternalError = 1007;       // Lumen failed in a way that is none of the above
constexpr uint32_t kRuntimeMissing = 3001;      // raised by the program: library or name missing
constexpr uint32_t kAccessViolation = 0xC0000005u;
constexpr uint32_t kIllegalInstruction = 0xC000001Du;
constexpr uint32_t kFloatDivideByZero = 0xC000008Eu;
constexpr uint32_t kFloatInexact = 0xC000008Fu;
constexpr uint32_t kFloatInvalid = 0xC0000090u;
constexpr uint32_t kFloatOverflow = 0xC0000091u;
constexpr uint32_t kFloatUnderflow = 0xC0000093u;
constexpr uint32_t kIntDivideByZero = 0xC0000094u;
constexpr uint32_t kIntOverflow = 0xC0000095u;
constexpr uint32_t kStackOverflow = 0xC00000FDu;

}  // namespace lumen

// Calling forms of the eleven operations the program calls (the platform's C convention).
extern "C" {
typedef void (*LumenInitFn)(const lumen::InitRecord* record);
typedef void (*LumenFreeFn)();
typedef void (*LumenActFn)();
typedef void* (*LumenAllocMemFn)(int64_t bytes, const char16_t* tag);  // tag: NUL-ended or null
typedef void (*LumenFreeMemFn)(void* block);
typedef int64_t (*LumenMouseFn)(int64_t button);   // 0 left, 1 right -> 0 up, 1 pressed, 2.. held
typedef double (*LumenMouseXFn)();                 // canvas px
typedef double (*LumenMouseYFn)();                 // canvas px
typedef int64_t (*LumenRndFn)(int64_t lo, int64_t hi);  // uniform in [lo, hi]
typedef double (*LumenRndFFn)();                   // uniform in [0, 1)
typedef void (*LumenDrawRectFn)(double x, double y, double w, double h,
                                double r, double g, double b, double a);
}

// The 132 names in binding order. X(name) for each; the eleven the program calls are listed
// by LUMEN_CALLED_NAMES as well.
#define LUMEN_NAMES(X)                                                                        \
    X(Init) X(Free) X(Exit) X(Act) X(Stop) X(GetFPS) X(GetSysTime) X(GetUnixTime) X(Rnd)      \
    X(RndF) X(AllocMem) X(FreeMem) X(DbgLog) X(DbgErrMsg) X(ReadPackAll) X(ReadFileAll)       \
    X(WriteFileAll) X(LoadPackStream) X(LoadFileStream) X(ReadStream) X(WriteStream)          \
    X(SeekStream) X(TellStream) X(ChkEndStream) X(SetSplitChars) X(ReadStreamStr)             \
    X(ReadStreamInt) X(ReadStreamChar) X(ReadStreamFloat) X(WriteStreamStr) X(WriteStreamInt) \
    X(WriteStreamChar) X(WriteStreamFloat) X(MakeRndSeed) X(GetRnd) X(GetRndF) X(MakeHash)    \
    X(Cos) X(Sin) X(Tan) X(ACos) X(ASin) X(ATan) X(Sqrt) X(Exp) X(Log) X(Pow) X(PowI) X(Mod)  \
    X(Floor) X(Ceil) X(Rot) X(InvRot) X(Hypot) X(Chase) X(SToI) X(SToF) X(IToS) X(IToSF)      \
    X(FToS) X(FToSF) X(Sort) X(Reverse) X(Shuffle) X(CmpStr) X(CmpInt) X(CmpFloat)            \
    X(CmpByte8) X(CmpByte16) X(CmpByte32) X(CmpByte64) X(SaveSaveData) X(LoadSaveData)        \
    X(Flip) X(Clear) X(SetViewport) X(ResetViewport) X(SetZBuf) X(SetBlend) X(SetFilter)      \
    X(DrawRect) X(LoadTex) X(DrawTex) X(DrawTexRot) X(GetTexW) X(GetTexH) X(LoadFont)         \
    X(MakeFontTex) X(LoadObj) X(DrawObj) X(MoveObjReset) X(MoveObjScale) X(MoveObjRotX)       \
    X(MoveObjRotY) X(MoveObjRotZ) X(MoveObjTrans) X(MoveObjSRT) X(MoveObjTransLook)           \
    X(MoveObjTransLookFix) X(MoveObjTransLookCamera) X(MoveObjTransLookCameraFix)             \
    X(SetCamera) X(SetProj) X(SetAmbLight) X(SetDirLight) X(SetLight) X(UnsetLight)           \
    X(LoadSnd) X(PlaySnd) X(StopSnd) X(ChkPlayingSnd) X(VolumeSnd) X(PanSnd) X(FreqSnd)       \
    X(PosSnd) X(LenSnd) X(GetMasterVolume) X(SetMasterVolume) X(Pad) X(SetPadCfg)             \
    X(GetPadCfg) X(LockPadCfg) X(SetPadKey) X(Mouse) X(MouseX) X(MouseY) X(PlayMovie)         \
    X(PlayBGM) X(PlayBGMFade) X(PlayBGMCross) X(StopBGM) X(StopBGMFade)

#define LUMEN_CALLED_NAMES(X) \
    X(Init) X(Free) X(Act) X(Rnd) X(RndF) X(AllocMem) X(FreeMem) X(DrawRect) X(Mouse) X(MouseX) X(MouseY)

// Exported entry points carry this (default visibility, C linkage).
#if defined(_WIN32)
#define LUMEN_EXPORT extern "C" __declspec(dllexport)
#else
#define LUMEN_EXPORT extern "C" __attribute__((visibility("default")))
#endif
