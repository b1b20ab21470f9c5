// The serial port on Windows, for the HCI backend. Asio cannot drive it here (see
// blocking_stream.h), so it is opened with CreateFileA and driven with overlapped ReadFile
// and WriteFile, each waited on together with a stop event.
//
// Overlapped rather than plain blocking calls: Windows runs the calls on a handle opened
// without FILE_FLAG_OVERLAPPED one at a time, so a read waiting for the controller would
// hold every write back until it returned, and a stop could only be noticed between reads.
// With overlapped I/O the reader and a writer run side by side and a stop wakes both at
// once. No completion port is involved: each call waits on its own event.
//
// A bare COMn is opened as \\.\COMn: only COM1 to COM9 are known to the plain names, COM10
// and above exist only in the device namespace. Anything else (\\.\COM10 itself, another
// device path) is opened as given.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/blocking_stream.h"

namespace platform {

namespace {

// Longest a write may take on top of its bytes' time on the wire before the controller
// counts as not reading (its CTS held back, or hung).
constexpr DWORD write_stall_ms = 10000;
// A read with nothing to read returns after this long and is asked again.
constexpr DWORD read_wake_ms = 1000;
// A read that has bytes returns once the line has been quiet this long after them.
constexpr DWORD read_gap_ms = 1;

std::string system_message(DWORD code) {
    char* text = nullptr;
    const DWORD length = ::FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string out = length != 0 && text != nullptr ? std::string(text, length) : std::string();
    if (text != nullptr) ::LocalFree(text);
    while (!out.empty() &&
           (out.back() == '\r' || out.back() == '\n' || out.back() == ' ' || out.back() == '.')) {
        out.pop_back();
    }
    if (out.empty()) out = "system error";
    return out + " (error " + std::to_string(code) + ")";
}

std::string device_path(const std::string& device) {
    if (device.size() < 4) return device;
    for (size_t i = 0; i < 3; ++i) {
        const char c = static_cast<char>(device[i] & ~0x20);  // upper case
        if (c != "COM"[i]) return device;
    }
    for (size_t i = 3; i < device.size(); ++i) {
        if (device[i] < '0' || device[i] > '9') return device;
    }
    return "\\\\.\\" + device;
}

class handle_guard {
  public:
    explicit handle_guard(HANDLE handle = nullptr) : handle_(handle) {}
    ~handle_guard() {
        if (valid()) ::CloseHandle(handle_);
    }
    handle_guard(const handle_guard&) = delete;
    handle_guard& operator=(const handle_guard&) = delete;

    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }
    HANDLE release() {
        HANDLE h = handle_;
        handle_ = nullptr;
        return h;
    }

  private:
    HANDLE handle_;
};

// The open port and its events, each owned by the port from then on.
struct port_handles {
    HANDLE port;
    HANDLE stop;        // manual reset: once stopped, stays stopped
    HANDLE read_done;   // manual reset, for the overlapped read
    HANDLE write_done;  // manual reset, for the overlapped write
};

class windows_serial_port final : public blocking_stream {
  public:
    windows_serial_port(const port_handles& handles, uint32_t baud)
        : port_(handles.port),
          stop_(handles.stop),
          read_done_(handles.read_done),
          write_done_(handles.write_done),
          baud_(baud) {}

    // Nothing is pending here: every read and write waits for its own operation to end.
    ~windows_serial_port() override = default;

    read_status read(uint8_t* buffer, size_t capacity, size_t& count, std::string& why) override {
        count = 0;
        const DWORD size = static_cast<DWORD>(std::min<size_t>(capacity, 1U << 20));
        for (;;) {
            if (stopped()) return read_status::stopped;
            OVERLAPPED operation{};
            operation.hEvent = read_done_.get();
            DWORD got = 0;
            DWORD code = ERROR_SUCCESS;
            if (!::ReadFile(port_.get(), buffer, size, nullptr, &operation)) {
                code = ::GetLastError();
                if (code == ERROR_IO_PENDING) {
                    if (wait(operation, INFINITE) != outcome::done) return read_status::stopped;
                    code = ERROR_SUCCESS;
                }
            }
            if (code == ERROR_SUCCESS &&
                !::GetOverlappedResult(port_.get(), &operation, &got, FALSE)) {
                code = ::GetLastError();
            }
            // A read that timed out with nothing may end as a failure of its own kind.
            if (code != ERROR_SUCCESS && code != ERROR_TIMEOUT) {
                why = "reading the serial port failed: " + system_message(code);
                return read_status::failed;
            }
            if (got > 0) {
                count = got;
                return read_status::data;
            }
            // A second with nothing to read: ask again.
        }
    }

    bool write(const uint8_t* data, size_t size, std::string& why) override {
        if (stopped()) {
            why = "the serial port is closing";
            return false;
        }
        if (size > MAXDWORD) {
            why = "a packet too long for one write";
            return false;
        }
        const DWORD limit = write_stall_ms + static_cast<DWORD>(size * 10000 / baud_);
        OVERLAPPED operation{};
        operation.hEvent = write_done_.get();
        if (!::WriteFile(port_.get(), data, static_cast<DWORD>(size), nullptr, &operation)) {
            const DWORD code = ::GetLastError();
            if (code != ERROR_IO_PENDING) {
                why = "writing to the serial port failed: " + system_message(code);
                return false;
            }
            switch (wait(operation, limit)) {
                case outcome::done:
                    break;
                case outcome::stopped:
                    why = "the serial port is closing";
                    return false;
                case outcome::timed_out:
                    why = "the serial port took no packet for " + std::to_string(limit) +
                          " ms: the controller is not reading (is it holding CTS?)";
                    return false;
                case outcome::failed:
                    why = "waiting for the serial port failed: " + system_message(::GetLastError());
                    return false;
            }
        }
        DWORD put = 0;
        if (!::GetOverlappedResult(port_.get(), &operation, &put, FALSE)) {
            why = "writing to the serial port failed: " + system_message(::GetLastError());
            return false;
        }
        if (put != size) {
            why = "the serial port took " + std::to_string(put) + " of " + std::to_string(size) +
                  " bytes";
            return false;
        }
        return true;
    }

    void stop() override { ::SetEvent(stop_.get()); }

  private:
    enum class outcome { done, stopped, timed_out, failed };

    bool stopped() const { return ::WaitForSingleObject(stop_.get(), 0) == WAIT_OBJECT_0; }

    // Waits for a pending operation or a stop. Anything but its end cancels it and waits for
    // the cancel to land: the system writes into `operation` and the buffer until then.
    outcome wait(OVERLAPPED& operation, DWORD limit_ms) {
        HANDLE events[2] = {operation.hEvent, stop_.get()};
        const DWORD woken = ::WaitForMultipleObjects(2, events, FALSE, limit_ms);
        if (woken == WAIT_OBJECT_0) return outcome::done;
        const DWORD code = ::GetLastError();
        ::CancelIoEx(port_.get(), &operation);
        DWORD ignored = 0;
        ::GetOverlappedResult(port_.get(), &operation, &ignored, TRUE);
        ::SetLastError(code);
        if (woken == WAIT_OBJECT_0 + 1) return outcome::stopped;
        if (woken == WAIT_TIMEOUT) return outcome::timed_out;
        return outcome::failed;
    }

    handle_guard port_;
    handle_guard stop_;
    handle_guard read_done_;
    handle_guard write_done_;
    const uint32_t baud_;
};

}  // namespace

std::unique_ptr<blocking_stream> open_serial_port(const std::string& device, uint32_t baud,
                                                  bool rts_cts, std::string& error) {
    if (baud == 0) {
        error = "a baud rate of 0";
        return nullptr;
    }
    const std::string path = device_path(device);
    // Not shared: two programs reading one controller would each get half its bytes.
    handle_guard port(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    if (!port.valid()) {
        const DWORD code = ::GetLastError();
        error = "cannot open the serial port: " + system_message(code);
        if (code == ERROR_ACCESS_DENIED) error += "; is another program using it?";
        return nullptr;
    }

    DCB settings{};
    settings.DCBlength = sizeof settings;
    if (!::GetCommState(port.get(), &settings)) {
        error = "cannot open the serial port: " + device + " is not a serial port (" +
                system_message(::GetLastError()) + ")";
        return nullptr;
    }
    settings.BaudRate = baud;
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;
    settings.fBinary = TRUE;
    settings.fParity = FALSE;
    settings.fOutxCtsFlow = rts_cts ? TRUE : FALSE;
    settings.fRtsControl = rts_cts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    settings.fOutxDsrFlow = FALSE;
    settings.fDtrControl = DTR_CONTROL_ENABLE;
    settings.fDsrSensitivity = FALSE;
    settings.fTXContinueOnXoff = TRUE;
    settings.fOutX = FALSE;
    settings.fInX = FALSE;
    settings.fErrorChar = FALSE;
    settings.fNull = FALSE;
    settings.fAbortOnError = FALSE;
    if (!::SetCommState(port.get(), &settings)) {
        error = "the serial port does not take " + std::to_string(baud) + " baud, 8N1" +
                (rts_cts ? " with RTS/CTS" : "") + ": " + system_message(::GetLastError()) +
                (rts_cts ? " (try ,noflow)" : "");
        return nullptr;
    }

    // A read returns once the line has been quiet for a millisecond after some bytes (or
    // with a full buffer), or empty after a second of silence; a write has no limit from the
    // driver, it waits with its own and the stop event. Not the setting that returns with
    // the very first byte (interval and multiplier both MAXDWORD): wine, which runs the
    // Windows build's tests, never completes an overlapped read in that mode.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = read_gap_ms;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = read_wake_ms;
    if (!::SetCommTimeouts(port.get(), &timeouts)) {
        error = "cannot set the serial port's timeouts: " + system_message(::GetLastError());
        return nullptr;
    }
    // Whatever the controller said before this program listened is half a packet at best.
    ::PurgeComm(port.get(), PURGE_RXCLEAR | PURGE_TXCLEAR);

    handle_guard stop(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    handle_guard read_done(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    handle_guard write_done(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!stop.valid() || !read_done.valid() || !write_done.valid()) {
        error = "cannot create the serial port's events: " + system_message(::GetLastError());
        return nullptr;
    }
    const port_handles handles{port.release(), stop.release(), read_done.release(),
                               write_done.release()};
    return std::make_unique<windows_serial_port>(handles, baud);
}

}  // namespace platform
