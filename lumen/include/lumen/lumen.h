// Lumen: the header shared by the program and the runtime library.
//
// It fixes what crosses the boundary between them: the String layout, the Init record, the
// icon form, the fault type, the calling forms of the operations the program calls, the
// fault codes, and the table of the exported names in binding order.
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

// Where pointers take 4 bytes (the web build), each pointer field of the Init record is followed
// by 4 bytes of zero, so that the record has the same 8-byte fields everywhere.
#if UINTPTR_MAX == 0xFFFFFFFFu
#define LUMEN_POINTER_PAD_(field) uint32_t field = 0;
#else
#define LUMEN_POINTER_PAD_(field)
#endif

// The record handed to Init: 48 bytes, six 8-byte fields. Lives only for the Init call.
struct InitRecord {
    uint64_t buildId;      // upper 32 bits: link time (s since 1970 UTC); lower 32: build tag
    int64_t one;           // always 1
    void* instance;        // the executable's module handle (Linux: its load address)
    LUMEN_POINTER_PAD_(instancePad)
    const void* icon;      // Linux: const IconFile*; Windows: HICON
    LUMEN_POINTER_PAD_(iconPad)
    uint64_t* faultCell;   // address of the program's fault location cell
    LUMEN_POINTER_PAD_(faultCellPad)
    String* title;         // the window title; released by the program when Init returns
    LUMEN_POINTER_PAD_(titlePad)
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
constexpr uint32_t kBadSetting = 1002;          // a bad setting, script, or output that cannot be opened
constexpr uint32_t kOutOfMemory = 1003;         // AllocMem could not get the memory
constexpr uint32_t kBadFree = 1004;             // FreeMem of a block AllocMem did not give
constexpr uint32_t kBadArgument = 1005;         // an operation got arguments it cannot serve
constexpr uint32_t kOutputFailed = 1006;        // a trace, picture, movie or recording not written
constexpr uint32_t kInternalError = 1007;       // Lumen failed in a way that is none of the above
constexpr uint32_t kDisplayLost = 1008;         // the window's display went away during the run
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

// The process's exit status after a run that ended by fault `code` (with or without a
// message): one table, which the program's top-level handler and Lumen's --help both read.
struct ExitStatus {
    int status;
    const char* meaning;  // for --help and the docs
};
inline constexpr ExitStatus kExitStatuses[] = {
    {0, "the run ended in order (the window closed, Escape, the script's end, --help, --version)"},
    {1, "a fault ended the run (the line on standard error names it, with its code and place)"},
    {2, "nothing was played: a bad option or setting, a script or output that cannot be used"},
};
constexpr int exitStatusFor(uint32_t code, bool hasMessage) {
    if (code == kEndOfRun && !hasMessage) return kExitStatuses[0].status;
    return code == kBadSetting ? kExitStatuses[2].status : kExitStatuses[1].status;
}

}  // namespace lumen

// The runtime operations: every exported name, in binding order, one entry each.
// LUMEN_OPERATIONS(CALLED, OTHER) expands
//   CALLED(Name, member, Result, (parameters), (arguments)) for each name the program calls:
//     its calling form (the platform's C convention) and the Session member serving it;
//   OTHER(Name) for each name the program binds but never calls: Lumen's entry point takes
//     nothing, returns nothing and raises fault 1001.
// Everything that lists the names derives from here: the calling forms below, the program's
// name list and entry-point table, Lumen's exports and its ELF version script, the names a
// fault can be planted in. Adding an operation: one line here and its Session member.
#define LUMEN_OPERATIONS(CALLED, OTHER)                                                          \
    /* Starts the run: checks the record, opens the window or runs headless. */                  \
    CALLED(Init, init, void, (const lumen::InitRecord* record), (record))                        \
    /* Ends the run: outputs finished, window closed. */                                         \
    CALLED(Free, free, void, (), ())                                                             \
    OTHER(Exit)                                                                                  \
    /* Paces the frame, shows what was drawn since the last Act and samples the mouse. */        \
    CALLED(Act, act, void, (), ())                                                               \
    OTHER(Stop) OTHER(GetFPS) OTHER(GetSysTime) OTHER(GetUnixTime)                               \
    /* Uniform random Int in [lo, hi]. */                                                        \
    CALLED(Rnd, rnd, int64_t, (int64_t lo, int64_t hi), (lo, hi))                                \
    /* Uniform random Float in [0, 1). */                                                        \
    CALLED(RndF, rndF, double, (), ())                                                           \
    /* A new block of `bytes` >= 0 bytes; tag: NUL-ended or null. */                             \
    CALLED(AllocMem, allocMem, void*, (int64_t bytes, const char16_t* tag), (bytes, tag))        \
    /* Gives back a block of AllocMem; null does nothing. */                                     \
    CALLED(FreeMem, freeMem, void, (void* block), (block))                                       \
    OTHER(DbgLog) OTHER(DbgErrMsg) OTHER(ReadPackAll) OTHER(ReadFileAll) OTHER(WriteFileAll)     \
    OTHER(LoadPackStream) OTHER(LoadFileStream) OTHER(ReadStream) OTHER(WriteStream)             \
    OTHER(SeekStream) OTHER(TellStream) OTHER(ChkEndStream) OTHER(SetSplitChars)                 \
    OTHER(ReadStreamStr) OTHER(ReadStreamInt) OTHER(ReadStreamChar) OTHER(ReadStreamFloat)       \
    OTHER(WriteStreamStr) OTHER(WriteStreamInt) OTHER(WriteStreamChar)                           \
    OTHER(WriteStreamFloat) OTHER(MakeRndSeed) OTHER(GetRnd) OTHER(GetRndF) OTHER(MakeHash)      \
    OTHER(Cos) OTHER(Sin) OTHER(Tan) OTHER(ACos) OTHER(ASin) OTHER(ATan) OTHER(Sqrt)             \
    OTHER(Exp) OTHER(Log) OTHER(Pow) OTHER(PowI) OTHER(Mod) OTHER(Floor) OTHER(Ceil)             \
    OTHER(Rot) OTHER(InvRot) OTHER(Hypot) OTHER(Chase) OTHER(SToI) OTHER(SToF) OTHER(IToS)       \
    OTHER(IToSF) OTHER(FToS) OTHER(FToSF) OTHER(Sort) OTHER(Reverse) OTHER(Shuffle)              \
    OTHER(CmpStr) OTHER(CmpInt) OTHER(CmpFloat) OTHER(CmpByte8) OTHER(CmpByte16)                 \
    OTHER(CmpByte32) OTHER(CmpByte64) OTHER(SaveSaveData) OTHER(LoadSaveData) OTHER(Flip)        \
    OTHER(Clear) OTHER(SetViewport) OTHER(ResetViewport) OTHER(SetZBuf) OTHER(SetBlend)          \
    OTHER(SetFilter)                                                                             \
    /* Fills [x, x+w) x [y, y+h) (canvas px) with colour (r, g, b) in [0, 1] at opacity a. */    \
    CALLED(DrawRect, drawRect, void,                                                             \
           (double x, double y, double w, double h, double r, double g, double b, double a),     \
           (x, y, w, h, r, g, b, a))                                                             \
    OTHER(LoadTex) OTHER(DrawTex) OTHER(DrawTexRot) OTHER(GetTexW) OTHER(GetTexH)                \
    OTHER(LoadFont) OTHER(MakeFontTex) OTHER(LoadObj) OTHER(DrawObj) OTHER(MoveObjReset)         \
    OTHER(MoveObjScale) OTHER(MoveObjRotX) OTHER(MoveObjRotY) OTHER(MoveObjRotZ)                 \
    OTHER(MoveObjTrans) OTHER(MoveObjSRT) OTHER(MoveObjTransLook) OTHER(MoveObjTransLookFix)     \
    OTHER(MoveObjTransLookCamera) OTHER(MoveObjTransLookCameraFix) OTHER(SetCamera)              \
    OTHER(SetProj) OTHER(SetAmbLight) OTHER(SetDirLight) OTHER(SetLight) OTHER(UnsetLight)       \
    OTHER(LoadSnd) OTHER(PlaySnd) OTHER(StopSnd) OTHER(ChkPlayingSnd) OTHER(VolumeSnd)           \
    OTHER(PanSnd) OTHER(FreqSnd) OTHER(PosSnd) OTHER(LenSnd) OTHER(GetMasterVolume)              \
    OTHER(SetMasterVolume) OTHER(Pad) OTHER(SetPadCfg) OTHER(GetPadCfg) OTHER(LockPadCfg)        \
    OTHER(SetPadKey)                                                                             \
    /* 0 up, 1 in the frame the button went down, 2.. while held. button: 0 left, 1 right. */    \
    CALLED(Mouse, mouse, int64_t, (int64_t button), (button))                                    \
    /* Pointer x, canvas px. */                                                                  \
    CALLED(MouseX, mouseX, double, (), ())                                                       \
    /* Pointer y, canvas px. */                                                                  \
    CALLED(MouseY, mouseY, double, (), ())                                                       \
    OTHER(PlayMovie) OTHER(PlayBGM) OTHER(PlayBGMFade) OTHER(PlayBGMCross) OTHER(StopBGM)        \
    OTHER(StopBGMFade)

// Expands X(Name, ...) for every name in binding order; X takes the name and ignores the rest.
#define LUMEN_NAMES(X) LUMEN_OPERATIONS(X, X)
// Expands X(Name, member, Result, (parameters), (arguments)) for each name the program calls.
#define LUMEN_CALLED_NAMES(X) LUMEN_OPERATIONS(X, LUMEN_IGNORE_)
#define LUMEN_IGNORE_(...)

// The calling forms of the operations the program calls: LumenNameFn.
extern "C" {
#define LUMEN_CALLING_FORM_(name, member, result, params, args) typedef result(*Lumen##name##Fn) params;
LUMEN_CALLED_NAMES(LUMEN_CALLING_FORM_)
#undef LUMEN_CALLING_FORM_
}

namespace lumen {
// How many names there are, and how many of them the program calls.
#define LUMEN_COUNT_ONE_(...) +1
constexpr int kNameCount = 0 LUMEN_NAMES(LUMEN_COUNT_ONE_);
constexpr int kCalledCount = 0 LUMEN_CALLED_NAMES(LUMEN_COUNT_ONE_);
#undef LUMEN_COUNT_ONE_
}  // namespace lumen

// Exported entry points carry this (default visibility, C linkage).
#if defined(_WIN32)
#define LUMEN_EXPORT extern "C" __declspec(dllexport)
#else
#define LUMEN_EXPORT extern "C" __attribute__((visibility("default")))
#endif
