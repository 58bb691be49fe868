// Reference-counted objects whose memory comes from the runtime's AllocMem and goes back
// through FreeMem. Every object starts with its reference count; arrays own their elements.
#pragma once

#include <cstdint>
#include <new>
#include <string_view>
#include <utility>

#include "runtime/runtime.h"

namespace rt {

// Header of every program object: the number of references held.
struct Object {
    int64_t refCount;
};

inline int64_t& refCountOf(Object* o) { return o->refCount; }
inline int64_t& refCountOf(lumen::String* s) { return s->count; }

template <class T>
void destroy(T* p) {
    p->~T();
    freeMemCell(p);
}
inline void destroy(lumen::String* s) { freeMemCell(s); }

// One reference to an object; the last reference to go releases it. It takes 8 bytes in every
// build (the web's 4-byte pointers are padded), so objects and arrays have the same sizes
// everywhere.
template <class T>
class alignas(8) Ref {
public:
    Ref() = default;
    // Takes over a reference that the caller already holds.
    static Ref adopt(T* p) {
        Ref r;
        r.p_ = p;
        return r;
    }
    Ref(const Ref& o) : p_(o.p_) {
        if (p_) ++refCountOf(p_);
    }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref o) {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { reset(); }

    // Drops this reference (releasing the object if it was the last) and becomes empty.
    void reset() {
        if (T* p = std::exchange(p_, nullptr)) {
            if (--refCountOf(p) == 0) destroy(p);
        }
    }
    // Gives up the reference without dropping it: the caller now holds it.
    T* take() { return std::exchange(p_, nullptr); }

    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T& operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    T* p_ = nullptr;
};
static_assert(sizeof(Ref<Object>) == 8, "a reference takes 8 bytes");

// Creates an object of type T with every field zero and one reference.
template <class T>
Ref<T> make() {
    void* block = allocMemCell(static_cast<int64_t>(sizeof(T)), nullptr);
    T* p = new (block) T();
    p->refCount = 1;
    return Ref<T>::adopt(p);
}

// A fixed-length array object; it owns its elements and destroys them with itself.
template <class T>
struct Array : Object {
    int64_t length;  // number of elements, fixed at creation

    T* data() { return reinterpret_cast<T*>(reinterpret_cast<char*>(this) + kHeader); }
    T& operator[](int64_t i) { return data()[i]; }
    ~Array() {
        for (int64_t i = 0; i < length; ++i) data()[i].~T();
    }

    static constexpr int64_t kHeader = 16;  // keeps the elements 16-byte aligned
};
static_assert(sizeof(Array<double>) == Array<double>::kHeader);

// Creates an array of `length` zero elements with one reference.
template <class T>
Ref<Array<T>> makeArray(int64_t length) {
    void* block = allocMemCell(Array<T>::kHeader + length * static_cast<int64_t>(sizeof(T)), nullptr);
    auto* a = new (block) Array<T>();
    a->refCount = 1;
    for (int64_t i = 0; i < length; ++i) new (a->data() + i) T();
    a->length = length;
    return Ref<Array<T>>::adopt(a);
}

// Creates a String with the given UTF-16 units and one reference.
inline Ref<lumen::String> makeString(std::u16string_view text) {
    const auto length = static_cast<int64_t>(text.size());
    auto* s = static_cast<lumen::String*>(allocMemCell(lumen::stringBytes(length), nullptr));
    s->count = 1;
    s->length = length;
    for (int64_t i = 0; i < length; ++i) s->units[i] = text[static_cast<size_t>(i)];
    s->units[length] = u'\0';
    return Ref<lumen::String>::adopt(s);
}

inline std::u16string_view view(const lumen::String* s) {
    return s ? std::u16string_view(s->units, static_cast<size_t>(s->length)) : std::u16string_view();
}

}  // namespace rt
