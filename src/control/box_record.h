// The record of one box (--report): one JSON object on one line.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

struct BoxRecord {
    std::time_t endTime = 0;
    std::string port;
    std::string portId;
    std::string bootloader;  // empty: the version was never read (null)
    std::string image;
    std::optional<std::uint64_t> imageBytes;  // none with -s: there is no image
    std::string imageSha256;                  // empty: null
    std::string result;
    double seconds = 0;
    std::string message;
    std::string program;
};

// The line, ending in "\n"; the keys in the order of the fields above.
std::string boxRecordLine(const BoxRecord& record);

// A JSON string, quotes included.
std::string jsonString(const std::string& text);

// What the image file holds: its size and SHA-256. False when it cannot be read.
bool imageDigest(const char* path, std::uint64_t& bytes, std::string& sha256);
