// The serial line as a pseudo-terminal: boxsim holds the master, the program
// opens the slave through a published path. The pty carries the program's own
// line settings, which boxsim reads on the master and never writes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace boxsim {

struct PcLineSettings {
    std::uint32_t baud = 0;  // 0: a speed the table does not know
    bool hardwareHandshake = false;
    bool local = false;  // CLOCAL: the program has configured the line

    bool operator==(const PcLineSettings&) const = default;
};

class PtyLink {
public:
    PtyLink() = default;
    ~PtyLink();
    PtyLink(const PtyLink&) = delete;
    PtyLink& operator=(const PtyLink&) = delete;

    // Opens a fresh pair, makes the slave raw once, keeps a slave descriptor
    // open (so the master never reads EIO while no program holds the line),
    // and points the symbolic link at `linkPath` to the slave, replacing what
    // was there in one step. An error text on failure.
    std::optional<std::string> open(const std::string& linkPath);
    // Drops the line as an unplugged cable does: the program's next read or
    // write fails. The link keeps pointing at the dead slave until open().
    void hangUp();
    // Removes the published link if it still points at our slave.
    void unpublish();

    bool isOpen() const { return master_ >= 0; }
    int master() const { return master_; }
    // inotify descriptor that reports the program opening and closing the
    // slave; -1 when the system cannot watch it.
    int watch() const { return watch_; }
    const std::string& slavePath() const { return slavePath_; }

    // The program's settings, read on the master.
    std::optional<PcLineSettings> pcSettings() const;
    // Takes the watch's pending events; adds the program's opens and closes.
    void readWatch(int& opens, int& closes);
    // Throws away what the box said to a program that has since gone.
    void discardUnreadOutput();
    // Drops what the program wrote that nobody has taken: no box was there.
    void discardPendingInput();
    // Bytes the box sent that the program has not read yet, those still
    // being handed to the slave included.
    int unreadOutput() const;
    // Bytes the program wrote that boxsim has not taken yet, those still
    // being handed to the master included, as far as the line discipline
    // shows them (its first 4095 on Linux).
    int pendingInput() const;
    // Whether the line would take more of the program's bytes now.
    bool pcCanWrite() const;
    // Stops or restarts the program's output, as a box's flow control does:
    // its writes wait, what it wrote so far stays readable.
    void holdPcOutput(bool held);
    // Returns once `size` bytes the box sent are where the program's next read
    // finds them (or the program has read them).
    void awaitUnreadOutput(int size) const;
    // From now on (and after each open) the watch also counts the program's
    // writes; pcWrites() is how many readWatch has seen (writes that came
    // together may count once).
    void countPcWrites();
    long pcWrites() const { return pcWrites_; }

private:
    void closeAll();

    int master_ = -1;
    int slave_ = -1;
    int watch_ = -1;
    bool countWrites_ = false;
    long pcWrites_ = 0;
    std::string slavePath_;
    std::string linkPath_;
};

// Speed of a termios speed constant; 0 when unknown.
std::uint32_t baudOfSpeed(unsigned long speed);

}  // namespace boxsim
