// The port calls with the line observer told after each one.
#include "platform/line_observer.h"
#include "platform/raw_port.h"

namespace platform {

PortHandle openPort(const char* device) {
    PortHandle port = openPortRaw(device);
    if (const LineObserver* observer = currentLineObserver()) {
        const std::uint32_t error = lastError();
        observer->opened(device != nullptr ? device : "", port != kInvalidPort, error);
        setLastError(error);
    }
    return port;
}

bool configureLine(PortHandle port, std::uint32_t baud, bool hardwareHandshake) {
    const bool ok = configureLineRaw(port, baud, hardwareHandshake);
    if (const LineObserver* observer = currentLineObserver()) {
        const std::uint32_t error = lastError();
        observer->configured(baud, hardwareHandshake, ok, error);
        setLastError(error);
    }
    return ok;
}

bool getBaudRate(PortHandle port, std::uint32_t& baud) {
    const bool ok = getBaudRateRaw(port, baud);
    if (ok) return true;
    if (const LineObserver* observer = currentLineObserver()) {
        const std::uint32_t error = lastError();
        observer->speedUnreadable(error);
        setLastError(error);
    }
    return false;
}

bool setBaudRate(PortHandle port, std::uint32_t baud) {
    const bool ok = setBaudRateRaw(port, baud);
    if (const LineObserver* observer = currentLineObserver()) {
        const std::uint32_t error = lastError();
        observer->speedChanged(baud, ok, error);
        setLastError(error);
    }
    return ok;
}

bool readPort(PortHandle port, void* buffer, std::uint32_t size, std::uint32_t& received) {
    const bool ok = readPortRaw(port, buffer, size, received);
    if (ok && received == 0) return true;
    if (const LineObserver* observer = currentLineObserver()) {
        const std::uint32_t error = lastError();
        observer->read(buffer, received, ok, error);
        setLastError(error);
    }
    return ok;
}

bool writePort(PortHandle port, const void* data, std::uint32_t size, std::uint32_t& sent) {
    const bool ok = writePortRaw(port, data, size, sent);
    if (const LineObserver* observer = currentLineObserver()) {
        const std::uint32_t error = lastError();
        observer->written(data, sent, ok, error);
        setLastError(error);
    }
    return ok;
}

void closePort(PortHandle port) {
    const bool wasOpen = port != kInvalidPort;
    closePortRaw(port);
    if (!wasOpen) return;
    if (const LineObserver* observer = currentLineObserver()) {
        const std::uint32_t error = lastError();
        observer->closed();
        setLastError(error);
    }
}

}  // namespace platform
