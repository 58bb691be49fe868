// One wrapper per runtime operation that the program calls, made from LUMEN_OPERATIONS (whose
// entries give each one's contract): rt::Act(), rt::Mouse(button), ... Each passes its
// arguments on unchanged and returns the operation's result; faults pass through untouched.
// The program computes in rt::Float: a double parameter or result of an operation is an
// rt::Float in its wrapper (the same type natively; the exact value converted otherwise).
#pragma once

#include <cstdint>

#include "runtime/float.h"
#include "runtime/runtime.h"

namespace rt {

namespace ops_detail {

// The program's type of a value that Lumen takes or gives as T: rt::Float for double.
template <class T>
struct ProgramType {
    using type = T;
};
template <>
struct ProgramType<double> {
    using type = Float;
};
template <class T>
using ProgramT = typename ProgramType<T>::type;

// A program value as Lumen takes it (exact), and a Lumen result as the program holds it (exact).
template <class T>
inline T toLumen(ProgramT<T> x) {
    if constexpr (std::is_same_v<T, double> && !std::is_same_v<Float, double>) {
        return x.value();
    } else {
        return x;
    }
}

template <class Fn>
struct Caller;
template <class R, class... P>
struct Caller<R (*)(P...)> {
    template <Name N>
    static ProgramT<R> call(ProgramT<P>... args) {
        if constexpr (std::is_void_v<R>) {
            op<R (*)(P...)>(N)(toLumen<P>(args)...);
        } else {
            return ProgramT<R>(op<R (*)(P...)>(N)(toLumen<P>(args)...));
        }
    }
};

}  // namespace ops_detail

#define RT_OPERATION(name, member, result, params, args) \
    inline constexpr auto name = &ops_detail::Caller<Lumen##name##Fn>::template call<Name::name>;
#define RT_NOT_CALLED(name)
LUMEN_OPERATIONS(RT_OPERATION, RT_NOT_CALLED)
#undef RT_OPERATION
#undef RT_NOT_CALLED

}  // namespace rt
