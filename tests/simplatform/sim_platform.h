// The simulated platform of the tests: platform.h carried out over an
// in-process serial line to a peer (the box model, or a scripted peer), with a
// virtual clock. Sleeping and waiting for input advance the clock, so a
// 15-second limit costs no real time and every limit is met to the microsecond.
//
// Files are the real ones (the POSIX file functions are linked beside it).
#pragma once

#include <cstdint>
#include <cerrno>
#include <string>
#include <string_view>
#include <vector>

#include "line.h"  // garble: what a byte sent at another speed becomes
#include "peer.h"
#include "platform/platform.h"

namespace simline {

// Platform calls the tests can make fail, and how.
struct Faults {
    bool openFails = false;
    std::uint32_t openError = ENOENT;
    bool getStateFails = false;     // reading the line settings
    bool setStateFails = false;     // writing the line settings (configure or speed)
    std::uint32_t stateError = EIO;
    int failSetBaudAfter = -1;      // >= 0: that many speed changes succeed, the next ones fail
    // What reads and writes on a hung-up line fail with: each system has more
    // than one code for a device that has gone.
    std::uint32_t hangUpError = platform::kErrorOperationAborted;
};

// One thing the PC did on the line, for tests to check order, speed and time.
struct LineEvent {
    enum class Kind { Open, Close, Configure, SpeedChange, Write, Sleep } kind;
    std::uint64_t timeUs;
    std::uint32_t baud;            // the port's speed at that moment
    std::vector<std::uint8_t> bytes;  // Write: the bytes the line took
    std::uint32_t value;           // Configure: hardware handshake; Sleep: ms; Open: port number
};

struct LineOptions {
    // Bytes the PC's transmit buffer holds before a write has to wait.
    std::uint32_t transmitBufferBytes = 4096;
    // The driver accepts the hardware handshake and drops it: the PC's bytes
    // then go out whether the peer is ready or not, and a peer that is not
    // loses them.
    bool driverDropsHandshake = false;
    // The cable has no RTS/CTS wires: with the handshake on nothing leaves.
    bool threeWireCable = false;
};

// Connects every port the program opens to this peer, resets the clock to
// startMs, and forgets earlier events and faults.
void install(Peer& peer, LineOptions options = {}, std::uint32_t startMs = 0);
// Disconnects the peer; later opens fail with ENOENT.
void uninstall();

std::uint64_t nowUs();
void setLocalTime(const platform::LocalTime& time);
Faults& faults();
const std::vector<LineEvent>& events();

// The bytes the PC has written since install, in order.
std::vector<std::uint8_t> bytesWritten();
// The bytes the PC's reads have taken since install, in order.
const std::vector<std::uint8_t>& bytesRead();
// The same, one entry for the reads between two writes, with how many bytes
// the PC had written before them.
struct ReadRun {
    std::uint64_t writtenBefore;
    std::vector<std::uint8_t> bytes;
};
const std::vector<ReadRun>& reads();
// Bytes that reached a peer which was not ready for them (no handshake in
// force), and were lost.
std::uint32_t bytesOverrun();
bool portOpen();
std::uint32_t currentBaud();

// A peer that answers from a script: when the PC's bytes so far end with
// `after` (empty: at once), it sends `reply` at `baud`, `delayMs` later.
// Steps are taken in order; each fires once.
class ScriptedPeer : public Peer {
public:
    struct Step {
        std::string after;
        std::string reply;
        std::uint32_t delayMs = 0;
        std::uint32_t baud = 0;  // 0: the PC's current speed
    };
    explicit ScriptedPeer(std::vector<Step> steps);

    void receive(std::uint8_t byte, std::uint32_t pcBaud, std::uint64_t nowUs) override;
    std::uint64_t nextEventUs() const override;
    void onTimer(std::uint64_t nowUs) override;
    bool acceptsInput(std::uint64_t) const override { return accepting; }
    bool hungUp(std::uint64_t nowUs) const override { return nowUs >= hangUpAtUs; }

    std::string received;               // every byte the PC sent, as it arrived
    bool accepting = true;              // false: the line stalls the PC's writes
    std::uint64_t hangUpAtUs = kNoEvent;

private:
    void arm(std::uint64_t nowUs, std::uint32_t pcBaud);
    std::vector<Step> steps_;
    std::size_t next_ = 0;
    std::uint64_t dueUs_ = kNoEvent;
    std::uint32_t dueBaud_ = 0;
    std::uint32_t lastPcBaud_ = 0;
    bool hangUpSeen_ = false;
};

}  // namespace simline
