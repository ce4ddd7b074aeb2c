// platform.h over an in-process line and a virtual clock.
//
// The line is modelled byte by byte: the PC's writes fill a transmit buffer,
// which empties onto the wire at the port's speed while the peer accepts input;
// the peer's transmissions travel back at the speed it sent them and land in
// the PC's receive buffer, garbled when the port listens at another speed.
// Time only moves when the program sleeps, waits for input or waits for room
// to write, and then jumps straight to the next event.
#include "simplatform/sim_platform.h"

#include "platform/serial_ports.h"
#include "line_engine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>

namespace platform {
struct Port {
    unsigned number = 0;
    std::uint32_t baud = 0;
    bool hardwareHandshake = false;
    std::uint32_t writeMultiplierMs = 0;
    std::uint32_t writeConstantMs = 0;
};
}  // namespace platform

namespace simline {
namespace {

// Each platform call costs the program a little time, so that a loop which
// polls without ever waiting still sees its clock move.
constexpr std::uint64_t kCallCostUs = 10;

// The PC's end of the line: the port's transmit buffer feeds the wire, and
// what the peer sends lands in the receive buffer, garbled when the port
// listens at another speed.
class PcPort : public LineEngine::PcEnd {
public:
    std::optional<Start> nextByte(std::uint64_t atUs, bool farEndReady) override;
    void arrived(const FarEndTransmitter::Byte& byte) override;
    void crossed(const PcByte&, bool taken) override;
};

struct Line {
    Peer* peer = nullptr;
    LineOptions options;
    std::uint32_t startMs = 0;
    platform::Port* port = nullptr;  // the open port, if any
    std::uint32_t lastBaud = 0;      // speed of the port last open
    std::deque<std::uint8_t> transmitBuffer;
    std::deque<std::uint8_t> receiveBuffer;
    std::vector<std::uint8_t> bytesRead;  // what the PC's reads have returned, in order
    std::vector<ReadRun> reads;
    std::uint64_t bytesWritten = 0;
    std::uint32_t bytesOverrun = 0;
    Faults faults;
    int speedChanges = 0;
    std::vector<LineEvent> events;
    platform::LocalTime localTimeBase{2026, 12, 7, 10, 0, 0};
};

Line line;
PcPort pcPort;
LineEngine engine(pcPort);

void log(LineEvent::Kind kind, std::uint32_t value = 0, std::vector<std::uint8_t> bytes = {}) {
    line.events.push_back({kind, engine.nowUs(), line.port != nullptr ? line.port->baud : line.lastBaud,
                           std::move(bytes), value});
}

[[noreturn]] void stuck(const char* what) {
    std::fprintf(stderr, "simulated line: %s at %llu us: nothing will ever happen\n", what,
                 static_cast<unsigned long long>(engine.nowUs()));
    std::abort();
}

bool hungUp() { return engine.farEndHungUp(); }

// CTS: the peer's readiness, on a cable that carries it.
bool clearToSend() { return !line.options.threeWireCable && line.peer->acceptsInput(engine.nowUs()); }

// With the handshake in force the UART waits for CTS; without it the byte
// goes, ready or not.
std::optional<LineEngine::PcEnd::Start> PcPort::nextByte(std::uint64_t atUs, bool farEndReady) {
    if (line.transmitBuffer.empty()) return std::nullopt;
    const bool handshake = line.port != nullptr && line.port->hardwareHandshake;
    if (handshake && (line.options.threeWireCable || !farEndReady)) return std::nullopt;
    const std::uint8_t value = line.transmitBuffer.front();
    line.transmitBuffer.pop_front();
    return Start{value, line.port != nullptr ? line.port->baud : line.lastBaud, atUs, handshake};
}

void PcPort::arrived(const FarEndTransmitter::Byte& byte) {
    if (line.port != nullptr) line.receiveBuffer.push_back(heard(byte.value, byte.baud, line.port->baud));
}

void PcPort::crossed(const PcByte&, bool taken) {
    if (!taken) ++line.bytesOverrun;
}

void advanceTo(std::uint64_t targetUs) { engine.advanceTo(targetUs); }

void spendCallTime() { advanceTo(engine.nowUs() + kCallCostUs); }

// A new divisor takes effect at once: the byte going out is garbled; the
// ones still queued leave at the new speed.
void changeSpeed(platform::Port* port, std::uint32_t baud) {
    engine.pcSpeedChanged(baud);
    port->baud = baud;
    line.lastBaud = baud;
}

bool failWith(std::uint32_t code) {
    platform::setLastError(code);
    return false;
}

}  // namespace

void install(Peer& peer, LineOptions options, std::uint32_t startMs) {
    line = Line{};
    line.peer = &peer;
    line.options = options;
    line.startMs = startMs;
    engine.attach(&peer, 0);
}

void uninstall() {
    if (line.port != nullptr) delete line.port;
    line = Line{};
    engine.attach(nullptr, 0);
}

std::uint64_t nowUs() { return engine.nowUs(); }
void setLocalTime(const platform::LocalTime& time) { line.localTimeBase = time; }
Faults& faults() { return line.faults; }
const std::vector<LineEvent>& events() { return line.events; }

std::vector<std::uint8_t> bytesWritten() {
    std::vector<std::uint8_t> all;
    for (const auto& event : line.events) {
        if (event.kind == LineEvent::Kind::Write) all.insert(all.end(), event.bytes.begin(), event.bytes.end());
    }
    return all;
}

const std::vector<std::uint8_t>& bytesRead() { return line.bytesRead; }
const std::vector<ReadRun>& reads() { return line.reads; }
std::uint32_t bytesOverrun() { return line.bytesOverrun; }

bool portOpen() { return line.port != nullptr; }
std::uint32_t currentBaud() { return line.port != nullptr ? line.port->baud : line.lastBaud; }

// ---------------------------------------------------------------------------
// ScriptedPeer

namespace {
bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}
}  // namespace

ScriptedPeer::ScriptedPeer(std::vector<Step> steps) : steps_(std::move(steps)) {
    // A first step that waits for nothing is due from the start of the line.
    if (!steps_.empty() && steps_[0].after.empty()) {
        dueUs_ = std::uint64_t{steps_[0].delayMs} * 1000;
        dueBaud_ = steps_[0].baud;
    }
}

void ScriptedPeer::arm(std::uint64_t nowUs, std::uint32_t pcBaud) {
    if (dueUs_ != kNoEvent || next_ >= steps_.size()) return;
    const Step& step = steps_[next_];
    if (!step.after.empty() && !endsWith(received, step.after)) return;
    dueUs_ = nowUs + std::uint64_t{step.delayMs} * 1000;
    dueBaud_ = step.baud != 0 ? step.baud : pcBaud;
}

void ScriptedPeer::receive(std::uint8_t byte, std::uint32_t pcBaud, std::uint64_t nowUs) {
    received.push_back(static_cast<char>(byte));
    lastPcBaud_ = pcBaud;
    arm(nowUs, pcBaud);
}

std::uint64_t ScriptedPeer::nextEventUs() const {
    return std::min(dueUs_, hangUpSeen_ ? kNoEvent : hangUpAtUs);
}

void ScriptedPeer::onTimer(std::uint64_t nowUs) {
    if (nowUs >= hangUpAtUs) {
        hangUpSeen_ = true;
        return;
    }
    if (dueUs_ == kNoEvent) arm(nowUs, currentBaud());
    if (dueUs_ == kNoEvent || nowUs < dueUs_) return;
    const Step& step = steps_[next_];
    transmit(step.reply, dueBaud_ != 0 ? dueBaud_ : currentBaud());
    dueUs_ = kNoEvent;
    ++next_;
    arm(nowUs, lastPcBaud_ != 0 ? lastPcBaud_ : currentBaud());
}

}  // namespace simline

// ---------------------------------------------------------------------------
// platform.h

namespace platform {

using simline::line;

std::uint32_t millis() {
    return static_cast<std::uint32_t>(line.startMs + simline::engine.nowUs() / 1000);
}

void sleepMs(std::uint32_t ms) {
    simline::log(simline::LineEvent::Kind::Sleep, ms);
    simline::advanceTo(simline::engine.nowUs() + std::uint64_t{ms} * 1000);
}

LocalTime localTime() {
    LocalTime time = line.localTimeBase;
    // Moves the seconds along with the virtual clock; enough for tests that
    // run for minutes, not across midnight.
    std::uint64_t seconds = time.second + time.minute * 60ull + time.hour * 3600ull + simline::engine.nowUs() / 1'000'000;
    time.second = static_cast<int>(seconds % 60);
    time.minute = static_cast<int>(seconds / 60 % 60);
    time.hour = static_cast<int>(seconds / 3600 % 24);
    return time;
}

void beep(unsigned, unsigned) {}

// The simulated machine calls its ports COM1 to COM4 whatever the environment says.
std::string defaultDeviceForComPort(unsigned portNumber) {
    if (portNumber < 1 || portNumber > 4) return {};
    return "COM" + std::to_string(portNumber);
}

PortHandle openPort(const char* device) {
    simline::spendCallTime();
    // Every device leads to the one simulated line; the log keeps the COM
    // number, 0 for a device by another name.
    const unsigned portNumber =
        std::strncmp(device, "COM", 3) == 0 ? static_cast<unsigned>(std::strtoul(device + 3, nullptr, 10)) : 0;
    if (line.peer == nullptr || line.faults.openFails) {
        setLastError(line.peer == nullptr ? ENOENT : line.faults.openError);
        return kInvalidPort;
    }
    if (line.port != nullptr) {
        setLastError(EBUSY);
        return kInvalidPort;
    }
    line.port = new Port{};
    line.port->number = portNumber;
    line.port->baud = line.lastBaud;
    simline::log(simline::LineEvent::Kind::Open, portNumber);
    line.peer->pcOpened(simline::engine.nowUs());
    simline::engine.collect();
    return line.port;
}

bool configureLine(PortHandle port, std::uint32_t baud, bool hardwareHandshake) {
    simline::spendCallTime();
    if (line.faults.getStateFails || line.faults.setStateFails) return simline::failWith(line.faults.stateError);
    simline::changeSpeed(port, baud);
    port->hardwareHandshake = hardwareHandshake && !line.options.driverDropsHandshake;
    simline::log(simline::LineEvent::Kind::Configure, hardwareHandshake ? 1 : 0);
    return true;
}

bool getBaudRate(PortHandle port, std::uint32_t& baud) {
    simline::spendCallTime();
    if (line.faults.getStateFails) return simline::failWith(line.faults.stateError);
    // A line that has gone takes no settings either.
    if (simline::hungUp()) return simline::failWith(simline::faults().hangUpError);
    baud = port->baud;
    return true;
}

bool setBaudRate(PortHandle port, std::uint32_t baud) {
    simline::spendCallTime();
    if (line.faults.getStateFails || line.faults.setStateFails) return simline::failWith(line.faults.stateError);
    if (simline::hungUp()) return simline::failWith(simline::faults().hangUpError);
    if (line.faults.failSetBaudAfter >= 0 && line.speedChanges >= line.faults.failSetBaudAfter) {
        return simline::failWith(line.faults.stateError);
    }
    ++line.speedChanges;
    simline::changeSpeed(port, baud);
    simline::log(simline::LineEvent::Kind::SpeedChange, baud);
    return true;
}

bool setWriteTimeouts(PortHandle port, std::uint32_t multiplierMs, std::uint32_t constantMs) {
    port->writeMultiplierMs = multiplierMs;
    port->writeConstantMs = constantMs;
    return true;
}

bool getLineStatus(PortHandle port, LineStatus& status) {
    simline::spendCallTime();
    status = LineStatus{};
    if (simline::hungUp()) return simline::failWith(kErrorOperationAborted);
    status.handshakeOn = port->hardwareHandshake;
    status.modemLinesKnown = true;
    status.clearToSend = simline::clearToSend();
    return true;
}

bool waitUntilSent(PortHandle, std::uint32_t timeoutMs) {
    const std::uint64_t deadline = simline::engine.nowUs() + std::uint64_t{timeoutMs} * 1000;
    for (;;) {
        simline::engine.startPcByte();
        if (line.transmitBuffer.empty()) return true;
        if (simline::hungUp()) return simline::failWith(kErrorOperationAborted);
        if (simline::engine.nowUs() >= deadline) {
            line.transmitBuffer.clear();
            return simline::failWith(kErrorCounterTimeout);
        }
        simline::advanceTo(std::min(simline::engine.nextEventUs(), deadline));
    }
}

void clearErrors(PortHandle) {}

bool readPort(PortHandle, void* buffer, std::uint32_t size, std::uint32_t& received) {
    received = 0;
    simline::spendCallTime();
    if (simline::hungUp()) return simline::failWith(simline::faults().hangUpError);
    auto* out = static_cast<std::uint8_t*>(buffer);
    while (received < size && !line.receiveBuffer.empty()) {
        out[received++] = line.receiveBuffer.front();
        line.receiveBuffer.pop_front();
    }
    line.bytesRead.insert(line.bytesRead.end(), out, out + received);
    if (received > 0) {
        if (line.reads.empty() || line.reads.back().writtenBefore != line.bytesWritten)
            line.reads.push_back({line.bytesWritten, {}});
        line.reads.back().bytes.insert(line.reads.back().bytes.end(), out, out + received);
    }
    return true;
}

bool writePort(PortHandle port, const void* data, std::uint32_t size, std::uint32_t& sent) {
    sent = 0;
    simline::spendCallTime();
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::uint64_t timeoutMs = std::uint64_t{port->writeMultiplierMs} * size + port->writeConstantMs;
    std::uint64_t deadline = timeoutMs == 0 ? simline::kNoEvent : simline::engine.nowUs() + timeoutMs * 1000;
    bool ok = true;
    std::uint32_t told = 0;  // of the bytes handed over, those the peer has been told of
    const auto tellPeer = [&] {
        if (sent == told) return;
        line.bytesWritten += sent - told;
        line.peer->pcWrote(bytes + told, sent - told, port->baud, simline::engine.nowUs());
        simline::engine.collect();
        told = sent;
    };
    for (;;) {
        if (simline::hungUp()) {
            ok = simline::failWith(simline::faults().hangUpError);
            break;
        }
        // A peer that hangs up at a place in the program's stream ends the
        // write there: the bytes before it are handed over, the rest fail.
        const std::uint64_t cut = line.peer->pcBytesBeforeHangUp();
        const std::uint64_t room = cut == simline::kNoEvent ? simline::kNoEvent : cut - std::min<std::uint64_t>(cut, sent - told);
        std::uint64_t taken = 0;
        while (sent < size && taken < room && line.transmitBuffer.size() < line.options.transmitBufferBytes) {
            line.transmitBuffer.push_back(bytes[sent++]);
            ++taken;
        }
        simline::engine.startPcByte();
        if (sent == size) break;
        if (taken == room && sent > told) {
            tellPeer();
            continue;
        }
        if (simline::engine.nowUs() >= deadline) {
            ok = simline::failWith(kErrorCounterTimeout);
            break;
        }
        std::uint64_t next = simline::engine.nextEventUs();
        if (next == simline::kNoEvent && deadline == simline::kNoEvent) simline::stuck("a write without time-out waits for a peer that never reads");
        simline::advanceTo(std::min(next, deadline));
    }
    if (sent > 0) simline::log(simline::LineEvent::Kind::Write, 0, std::vector<std::uint8_t>(bytes, bytes + sent));
    tellPeer();
    while (!simline::hungUp() && line.peer->holdsPcWrite(simline::engine.nowUs())) {
        const std::uint64_t next = simline::engine.nextEventUs();
        if (next == simline::kNoEvent) simline::stuck("a write held by a peer that never lets it go");
        simline::advanceTo(next);
    }
    return ok;
}

void waitForInput(PortHandle, std::uint32_t timeoutMs) {
    std::uint64_t deadline =
        timeoutMs == kWaitForever ? simline::kNoEvent : simline::engine.nowUs() + std::uint64_t{timeoutMs} * 1000;
    while (line.receiveBuffer.empty() && !simline::hungUp() && simline::engine.nowUs() < deadline) {
        std::uint64_t next = simline::engine.nextEventUs();
        if (next == simline::kNoEvent && deadline == simline::kNoEvent) simline::stuck("waiting without limit on a silent line");
        simline::advanceTo(std::min(next, deadline));
    }
}

void closePort(PortHandle port) {
    std::uint32_t error = lastError();
    simline::log(simline::LineEvent::Kind::Close);
    if (port == line.port) line.port = nullptr;
    delete port;
    setLastError(error);
}

}  // namespace platform
