#pragma once
// The base of the program's own errors: an exception that carries its message text.
#include <exception>
#include <string>

class Exception : public std::exception {
public:
    Exception() = default;
    explicit Exception(std::string message) : Message(std::move(message)) {}
    const char* what() const noexcept override { return Message.c_str(); }

    std::string Message;
};

// The application's default exception report. The window installs a handler that shows the
// standard exception box; without one the message goes to standard error.
using ExceptionHandler = void (*)(const std::string& message);
void SetExceptionHandler(ExceptionHandler handler);

// The message a report shows for a thrown value: an Exception's or std::exception's text,
// the empty text for anything else.
std::string ExceptionMessage(std::exception_ptr error);

// Reports one caught exception through the installed handler. Never throws.
void HandleException(std::exception_ptr error);
