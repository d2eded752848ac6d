#include "framework/Exception.h"

#include <atomic>
#include <cstdio>

namespace {
std::atomic<ExceptionHandler> handler{nullptr};
}

void SetExceptionHandler(ExceptionHandler h) { handler.store(h); }

std::string ExceptionMessage(std::exception_ptr error) {
    try {
        if (error)
            std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
    }
    return {};
}

void HandleException(std::exception_ptr error) {
    std::string message = ExceptionMessage(error);
    try {
        if (ExceptionHandler h = handler.load()) {
            h(message);
            return;
        }
    } catch (...) {
        // A failing report must not take the program down with it.
    }
    std::fprintf(stderr, "%s\n", message.c_str());
}
