// The port calls with the line observer told after each one.
#include "platform/line_observer.h"
#include "platform/raw_port.h"

namespace platform {

namespace {

// Tells the observer, if there is one, about the call just made; the call's
// last error stays what the call left, whatever the observer does.
template <typename Tell>
void tellObserver(const Tell& tell) {
    const LineObserver* observer = currentLineObserver();
    if (observer == nullptr) return;
    const std::uint32_t error = lastError();
    tell(*observer, error);
    setLastError(error);
}

}  // namespace

PortHandle openPort(const char* device) {
    PortHandle port = openPortRaw(device);
    tellObserver([&](const LineObserver& observer, std::uint32_t error) {
        observer.opened(device != nullptr ? device : "", port != kInvalidPort, error);
    });
    return port;
}

bool configureLine(PortHandle port, std::uint32_t baud, bool hardwareHandshake) {
    const bool ok = configureLineRaw(port, baud, hardwareHandshake);
    tellObserver([&](const LineObserver& observer, std::uint32_t error) {
        observer.configured(baud, hardwareHandshake, ok, error);
    });
    return ok;
}

bool getBaudRate(PortHandle port, std::uint32_t& baud) {
    const bool ok = getBaudRateRaw(port, baud);
    if (ok) return true;
    tellObserver([&](const LineObserver& observer, std::uint32_t error) {
        observer.speedUnreadable(error);
    });
    return false;
}

bool setBaudRate(PortHandle port, std::uint32_t baud) {
    const bool ok = setBaudRateRaw(port, baud);
    tellObserver([&](const LineObserver& observer, std::uint32_t error) {
        observer.speedChanged(baud, ok, error);
    });
    return ok;
}

bool readPort(PortHandle port, void* buffer, std::uint32_t size, std::uint32_t& received) {
    const bool ok = readPortRaw(port, buffer, size, received);
    if (ok && received == 0) return true;
    tellObserver([&](const LineObserver& observer, std::uint32_t error) {
        observer.read(buffer, received, ok, error);
    });
    return ok;
}

bool writePort(PortHandle port, const void* data, std::uint32_t size, std::uint32_t& sent) {
    const bool ok = writePortRaw(port, data, size, sent);
    tellObserver([&](const LineObserver& observer, std::uint32_t error) {
        observer.written(data, sent, ok, error);
    });
    return ok;
}

void closePort(PortHandle port) {
    const bool wasOpen = port != kInvalidPort;
    closePortRaw(port);
    if (!wasOpen) return;
    tellObserver([](const LineObserver& observer, std::uint32_t) { observer.closed(); });
}

}  // namespace platform
