// A value or an error text. Operations of the core return this instead of throwing on bad input.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace tessora {

template <typename T>
class Expected {
public:
    Expected(T value) : v_(std::move(value)) {}
    static Expected failure(std::string message) { return Expected(Error{std::move(message)}); }

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    const std::string& error() const { return std::get<1>(v_).message; }

private:
    struct Error {
        std::string message;
    };
    explicit Expected(Error e) : v_(std::move(e)) {}
    std::variant<T, Error> v_;
};

}  // namespace tessora
