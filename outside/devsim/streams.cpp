// The table of open streams of the simulated transport.
#include "devsim.h"
#include "radio.h"
#include "uart.h"

#include <cstdint>
#include <filesystem>
#include <system_error>

namespace devsim {

namespace {

struct Streams {
    std::map<uint32_t, std::shared_ptr<Chip>> open;
    std::shared_ptr<Chip> last;
    std::map<std::string, std::weak_ptr<Chip>> named;
    uint32_t next = 1;
};

Streams& Table()
{
    static Streams streams;
    return streams;
}

// uartlink=PATH: a symbolic link at PATH to the PC side of the chip's UART,
// so a caller names the port as it would a real one. Only an old link is
// replaced; any other file at PATH fails the open.
bool LinkUart(Chip& aChip, const std::string& aPath, std::string& aError)
{
    const std::string device = UartDeviceName(aChip);
    if (device.empty()) {
        aError = "the simulated UART is not available (" + UartOf(aChip).error() + ")";
        return false;
    }
    std::error_code ec;
    const std::filesystem::path path(aPath);
    const auto status = std::filesystem::symlink_status(path, ec);
    if (std::filesystem::exists(status) && !std::filesystem::is_symlink(status)) {
        aError = "cannot link the simulated UART at \"" + aPath + "\": a file of that name exists";
        return false;
    }
    // A temporary link renamed over the path: a reader never sees it missing.
    const std::filesystem::path temp = aPath + ".tmp" + std::to_string(reinterpret_cast<uintptr_t>(&aChip));
    std::filesystem::remove(temp, ec);
    std::filesystem::create_symlink(device, temp, ec);
    if (!ec) std::filesystem::rename(temp, path, ec);
    if (ec) {
        std::filesystem::remove(temp, ec);
        aError = "cannot link the simulated UART at \"" + aPath + "\": " + ec.message();
        return false;
    }
    return true;
}

}  // namespace

uint32_t Open(const char* aTransport, std::string& aError)
{
    Options options;
    if (!ParseTransport(aTransport, options, aError)) return 0;
    if (!options.identity.present) {
        aError = "no device answers on the simulated transport; ";
        aError += TransportList();
        return 0;
    }
    if (!options.identity.openError.empty()) {
        aError = options.identity.openError;
        return 0;
    }
    if (!options.nvm.dir.empty()) {
        // A chip's NVM folder is made on first use, so a fresh folder name
        // starts a blank chip; a folder that cannot be made fails the open
        // rather than every later write.
        std::error_code ec;
        std::filesystem::create_directories(options.nvm.dir, ec);
        if (ec || !std::filesystem::is_directory(options.nvm.dir, ec)) {
            aError = "cannot use NVM folder \"" + options.nvm.dir + "\"";
            if (ec) aError += ": " + ec.message();
            return 0;
        }
    }
    auto chip = std::make_shared<Chip>(options);
    if (!options.uart.link.empty() && !LinkUart(*chip, options.uart.link, aError)) return 0;
    // rf=HOST:PORT/N cables the chip to a port of the simulated RF tester.
    if (!chip->radio().Connect(aError)) return 0;
    Streams& t = Table();
    uint32_t stream = t.next++;
    if (t.next == 0) t.next = 1;
    t.open[stream] = chip;
    t.last = chip;
    if (!options.identity.name.empty()) t.named[options.identity.name] = chip;
    chip->NoteCall();
    return stream;
}

void Close(uint32_t aStream)
{
    auto& open = Table().open;
    auto it = open.find(aStream);
    if (it == open.end()) return;
    // The chip stays for tests to inspect, but its cable to the RF tester
    // goes with its stream: the tester port is free for the next device.
    it->second->radio().Disconnect();
    open.erase(it);
}

Chip* Find(uint32_t aStream)
{
    auto& open = Table().open;
    auto it = open.find(aStream);
    return it == open.end() ? nullptr : it->second.get();
}

std::shared_ptr<Chip> LastOpened()
{
    return Table().last;
}

std::shared_ptr<Chip> FindByName(const std::string& aName)
{
    auto& named = Table().named;
    auto it = named.find(aName);
    return it == named.end() ? nullptr : it->second.lock();
}

size_t OpenStreams()
{
    return Table().open.size();
}

}  // namespace devsim
