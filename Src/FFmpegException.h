// The exception type of the media engine. Every failure the engine reports
// carries a complete, user-readable message; the conversion component catches
// it at its entry points and keeps the text as its last error.
#pragma once

#include <stdexcept>
#include <string>

class FFmpegException : public std::runtime_error {
public:
    explicit FFmpegException(const std::string& message) : std::runtime_error(message) {}
    std::string Message() const { return what(); }
};
