// The one way a failure crosses a module boundary: a Result holds either the value or what went
// wrong. The error is the user-facing text unless a module needs more (the record decoders say
// which kind of fault they met). Nothing throws across a boundary; a module that calls a library
// that throws catches at its edge and returns a failure.
#pragma once

#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace mixengine {

// What fail() returns: converts to any Result whose error type can hold it.
template <typename E>
struct Failure {
    E error;
};

template <typename E>
Failure<std::decay_t<E>> fail(E&& error) {
    return {std::forward<E>(error)};
}

template <typename T, typename E = std::string>
class Result {
  public:
    // Both implicit, so that a function simply returns its value or fail(...).
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
    template <typename G>
    Result(Failure<G> f) : v_(std::in_place_index<1>, E(std::move(f.error))) {}  // NOLINT

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }
    T& operator*() & { return std::get<0>(v_); }
    const T& operator*() const& { return std::get<0>(v_); }
    T&& operator*() && { return std::get<0>(std::move(v_)); }
    T* operator->() { return &std::get<0>(v_); }
    const T* operator->() const { return &std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const E& error() const { return std::get<1>(v_); }

  private:
    std::variant<T, E> v_;
};

// The value of an operation that only succeeds or fails.
struct Done {};
using Status = Result<Done>;

}  // namespace mixengine
