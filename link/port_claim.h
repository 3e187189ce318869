#pragma once

#include "port_facts.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

// The panel's claim on its line, in every way serial programs claim one. Each platform has its
// own file (port_claim_linux.cpp, port_claim_windows.cpp); the build picks one. Windows opens
// a COM port for one program only, so there the open is the whole claim.
namespace servo::platform {

// The folders where serial programs put their lock files, in the order Qt looks at them.
QStringList SystemLockFolders();

class LineClaim {
public:
    enum class Outcome {
        Claimed, // the line is this process's until release()
        Held, // another live program holds it: holder() and reason() say who and how
        Unopened, // the device did not open at all: the port's own open says why
    };

    // `lockFolders`: where lock files are read and written (tests: a folder of their own).
    explicit LineClaim(QStringList lockFolders = SystemLockFolders());
    ~LineClaim();
    LineClaim(const LineClaim&) = delete;
    LineClaim& operator=(const LineClaim&) = delete;

    // Before any byte: takes `device` for this process, under the name opened and under the
    // name of the device a link leads to, unless a live program holds it there by a lock
    // file, an flock or exclusive mode. A lock whose process is gone is replaced.
    Outcome take(const QString& device);
    // After Held: the holder where the system names one (a pid at least), else empty, and
    // the words for an unnamed one.
    std::optional<PortHolder> holder() const;
    QString reason() const;

    // Once the port has opened the device: the lock file it wrote under the name opened is
    // made to read as every serial program's does.
    void opened();

    // Gives the line up: removes the lock files this claim wrote, and nothing else.
    void release();

private:
    struct State;
    std::unique_ptr<State> m;
};

// Who holds `device` by a lock file, under its name or the name a link leads to; empty
// when no live program does.
std::optional<PortHolder> HolderOf(const QString& device);

} // namespace servo::platform
