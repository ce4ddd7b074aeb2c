#include "control/box_record.h"

#include <cstdio>

#include "common/sha256.h"
#include "platform/platform.h"

std::string jsonString(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (c == '\n') {
            quoted += "\\n";
        } else if (c == '\t') {
            quoted += "\\t";
        } else if (c == '\r') {
            quoted += "\\r";
        } else if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            quoted += escaped;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

std::string boxRecordLine(const BoxRecord& record) {
    std::tm utc{};
#if defined(_WIN32)
    gmtime_s(&utc, &record.endTime);
#else
    gmtime_r(&record.endTime, &utc);
#endif
    char time[32];
    std::strftime(time, sizeof time, "%Y-%m-%dT%H:%M:%SZ", &utc);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", record.seconds);

    std::string line = "{\"time\":" + jsonString(time);
    line += ",\"port\":" + jsonString(record.port);
    line += ",\"port_id\":" + jsonString(record.portId);
    line += ",\"bootloader\":" + (record.bootloader.empty() ? std::string("null") : jsonString(record.bootloader));
    line += ",\"image\":" + jsonString(record.image);
    line += ",\"image_bytes\":" + (record.imageBytes ? std::to_string(*record.imageBytes) : std::string("null"));
    line += ",\"image_sha256\":" + (record.imageSha256.empty() ? std::string("null") : jsonString(record.imageSha256));
    line += ",\"result\":" + jsonString(record.result);
    line += ",\"seconds\":" + std::string(seconds);
    line += ",\"message\":" + jsonString(record.message);
    line += ",\"program\":" + jsonString(record.program);
    return line + "}\n";
}

bool imageDigest(const char* path, std::uint64_t& bytes, std::string& sha256) {
    const platform::FileHandle file = platform::openFileForReading(path);
    if (file == platform::kInvalidFile) return false;
    Sha256 digest;
    bytes = 0;
    char buffer[16384];
    for (;;) {
        std::uint32_t got = 0;
        if (!platform::readFile(file, buffer, sizeof buffer, got)) {
            platform::closeFile(file);
            return false;
        }
        if (got == 0) break;
        digest.add(buffer, got);
        bytes += got;
    }
    platform::closeFile(file);
    sha256 = digest.hexDigest();
    return true;
}
