// Exception: the root of every exception the libraries raise, and the runtime's own errors.
#pragma once

#include <stdexcept>
#include <string_view>

namespace rtl {

/// Root exception. Every library exception derives from it and reports its own class name,
/// which the programs print in front of the message ("ClassName: message").
class Exception : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    virtual std::string_view ClassName() const noexcept { return "Exception"; }
};

/// A stream could not read, write, seek or resize as asked.
class EStreamError : public Exception {
public:
    using Exception::Exception;
    std::string_view ClassName() const noexcept override { return "EStreamError"; }
};

/// A read that had to deliver an exact count met the end of the stream.
class EReadError : public EStreamError {
public:
    using EStreamError::EStreamError;
    std::string_view ClassName() const noexcept override { return "EReadError"; }
};

/// A write that had to place an exact count could not.
class EWriteError : public EStreamError {
public:
    using EStreamError::EStreamError;
    std::string_view ClassName() const noexcept override { return "EWriteError"; }
};

/// A list index out of range, or a duplicate where the list forbids one.
class EListError : public Exception {
public:
    using Exception::Exception;
    std::string_view ClassName() const noexcept override { return "EListError"; }
};

/// Text that is not a value of the type asked for (a number, a date, ...).
class EConvertError : public Exception {
public:
    using Exception::Exception;
    std::string_view ClassName() const noexcept override { return "EConvertError"; }
};

} // namespace rtl
