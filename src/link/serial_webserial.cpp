// Web Serial backend of the serial port, for the program built for the
// browser (emscripten with Asyncify). The page picks the port once in the
// browser's chooser and leaves it in globalThis.halvoranSerial.port; every
// open_serial opens that port.
//
// Web Serial reads have no time limit, so one reader keeps filling a buffer
// in JavaScript for as long as the port is open, and a read here waits for
// bytes or for its deadline: the same profiles, the same answer limit
// (line_clear_after) and the same line states as the other backends. A
// wait is the only place where the WebAssembly gives the browser control
// (Asyncify); bytes already in the buffer are taken without one.
#include "link/serial.hpp"
#include "link/serial_limits.hpp"

#include "common/globals.hpp"
#include "common/trace.hpp"

#include <climits>
#include <emscripten.h>

// The JavaScript side. The state object is shared with the trace backend
// (trace_web.cpp), which reports the options the port was opened with.
// clang-format off
EM_JS(void, webserial_init, (), {
    const s = globalThis.halvoranSerial || (globalThis.halvoranSerial = {});
    if (s.chunks) return;
    s.chunks = [];      // Uint8Arrays read and not taken yet
    s.offset = 0;       // bytes of chunks[0] already taken
    s.count = 0;        // bytes waiting in all chunks
    s.wake = null;      // resolves the wait under way
    s.open = false;
    s.gone = false;
    s.error = "";
    s.wakeUp = () => { const w = s.wake; s.wake = null; if (w) w(); };
    s.watched = new WeakSet();
    s.unplugged = (port) => {
        if (port === s.port && s.open) {
            s.gone = true;
            s.error = s.error || "disconnect";
            s.wakeUp();
        }
    };
    // The event is fired at the port and bubbles to navigator.serial.
    if (navigator.serial) navigator.serial.addEventListener("disconnect", (e) => s.unplugged(e.port || e.target));
});

// Opens the picked port: 1, or the cause of the failure: -1 no port picked,
// -2 already open (busy), -3 the system refused it, -4 the line settings.
EM_ASYNC_JS(int, webserial_open, (int buffer_size), {
    const s = globalThis.halvoranSerial;
    if (!s.port) return -1;
    s.chunks = []; s.offset = 0; s.count = 0; s.gone = false; s.error = "";
    if (!s.watched.has(s.port)) {
        s.watched.add(s.port);
        s.port.addEventListener("disconnect", () => s.unplugged(s.port));
    }
    s.options = {baudRate: 115200, dataBits: 8, stopBits: 1, parity: "none",
                 flowControl: "none", bufferSize: buffer_size};
    try {
        await s.port.open(s.options);
    } catch (e) {
        s.error = e.name + ": " + e.message;
        return e.name === "InvalidStateError" ? -2 : -3;
    }
    try {
        await s.port.setSignals({dataTerminalReady: false, requestToSend: false});
    } catch (e) {
        s.error = e.name + ": " + e.message;
        try { await s.port.close(); } catch (ignored) {}
        return -4;
    }
    s.open = true;
    s.writer = s.port.writable.getWriter();
    // The one reader. A line error (break, framing, parity, overrun) ends a
    // readable, and the port then offers a new one; a device that has gone
    // leaves none.
    s.pump = (async () => {
        while (s.open && s.port.readable) {
            const reader = s.port.readable.getReader();
            s.reader = reader;
            try {
                for (;;) {
                    const {value, done} = await reader.read();
                    if (done) break;
                    if (value && value.length > 0) {
                        s.chunks.push(value);
                        s.count += value.length;
                        s.wakeUp();
                    }
                }
            } catch (e) {
                s.error = e.name + ": " + e.message;
            } finally {
                reader.releaseLock();
                s.reader = null;
            }
        }
        if (s.open) {
            s.gone = true;
            s.wakeUp();
        }
    })();
    return 1;
});

// Moves up to max waiting bytes into the WebAssembly's memory at to.
EM_JS(int, webserial_take, (unsigned char* to, int max), {
    const s = globalThis.halvoranSerial;
    let moved = 0;
    while (moved < max && s.chunks.length > 0) {
        const chunk = s.chunks[0];
        const n = Math.min(max - moved, chunk.length - s.offset);
        HEAPU8.set(chunk.subarray(s.offset, s.offset + n), to + moved);
        moved += n;
        s.offset += n;
        if (s.offset === chunk.length) { s.chunks.shift(); s.offset = 0; }
    }
    s.count -= moved;
    return moved;
});

EM_JS(int, webserial_gone, (), { return globalThis.halvoranSerial.gone ? 1 : 0; });

// Waits until bytes come, the port goes, or ms milliseconds have passed
// (ms < 0: no limit).
EM_ASYNC_JS(void, webserial_wait, (int ms), {
    const s = globalThis.halvoranSerial;
    if (s.count > 0 || s.gone) return;
    await new Promise((resolve) => {
        let timer = null;
        s.wake = () => { if (timer !== null) clearTimeout(timer); resolve(); };
        if (ms >= 0) timer = setTimeout(() => { s.wake = null; resolve(); }, ms);
    });
});

// Writes n bytes from the WebAssembly's memory: 1 once the port took them
// (the write's promise), 0 when it did not within limit_ms (a port that
// takes no data), -1 when the write failed (the device went away).
EM_ASYNC_JS(int, webserial_write, (const unsigned char* from, int n, int limit_ms), {
    const s = globalThis.halvoranSerial;
    if (s.gone || !s.writer) return -1;
    // A copy: the memory may move while the write is under way.
    const data = HEAPU8.slice(from, from + n);
    let timer = null;
    const late = new Promise((resolve) => { timer = setTimeout(() => resolve(0), limit_ms); });
    const written = s.writer.write(data).then(() => 1, (e) => {
        s.error = e.name + ": " + e.message;
        return -1;
    });
    const result = await Promise.race([written, late]);
    clearTimeout(timer);
    return result;
});

// Waits until the writable's queue has room again, which the API gives
// once every write handed to it has been taken; no longer than limit_ms.
EM_ASYNC_JS(void, webserial_ready, (int limit_ms), {
    const s = globalThis.halvoranSerial;
    if (s.gone || !s.writer) return;
    let timer = null;
    const late = new Promise((resolve) => { timer = setTimeout(resolve, limit_ms); });
    await Promise.race([s.writer.ready.catch(() => {}), late]);
    clearTimeout(timer);
});

// Drops the waiting bytes; returns how many there were.
EM_JS(int, webserial_purge, (), {
    const s = globalThis.halvoranSerial;
    const dropped = s.count;
    s.chunks = []; s.offset = 0; s.count = 0;
    return dropped;
});

// Closes the port. drop: the line is lost, so what could not go out is
// thrown away (abort) instead of waited for.
EM_ASYNC_JS(void, webserial_close, (int drop), {
    const s = globalThis.halvoranSerial;
    s.open = false;
    try {
        if (s.writer) {
            if (drop) await s.writer.abort().catch(() => {});
            s.writer.releaseLock();
        }
    } catch (ignored) {}
    s.writer = null;
    if (s.reader) await s.reader.cancel().catch(() => {});
    if (s.pump) await s.pump;
    s.pump = null;
    try { await s.port.close(); } catch (e) { s.error = s.error || e.name + ": " + e.message; }
    s.chunks = []; s.offset = 0; s.count = 0;
});
// clang-format on

namespace {

// A bufferSize that holds a whole table block with room to spare: the
// load's chunks are 10 KiB.
constexpr int buffer_size = 16384;

open_failure last_failure = open_failure::none;

using serial_limits::lose_line;

} // namespace

// One read of up to max bytes under the profile in force (serial_limits.hpp):
// what the buffer holds, else a wait for the next chunk, the port's end or
// the deadline. 0 when the time ran out or the port went away.
int read_within_limits(void* buffer, int max, long long start, bool have_byte, long long last_byte)
{
    for (;;) {
        if (!serial_limits::line_ok())
            return 0;
        const int got = webserial_take(static_cast<unsigned char*>(buffer), max);
        if (got > 0)
            return got;
        if (webserial_gone()) {
            lose_line(line_state::gone, "the port's readable ended");
            return 0;
        }
        const int wait = serial_limits::wait_left_ms(start, have_byte, last_byte);
        if (wait == 0)
            return 0;
        webserial_wait(wait);
    }
}

int open_serial(const char* name)
{
    webserial_init();
    const int opened = webserial_open(buffer_size);
    if (opened != 1) {
        last_failure = opened == -1   ? open_failure::missing
                       : opened == -2 ? open_failure::busy
                       : opened == -4 ? open_failure::setup
                                      : open_failure::other;
        return 0;
    }
    handle_com = 1;
    last_failure = open_failure::none;
    serial_limits::opened();
    trace_port(name, handle_com);
    set_timeout_profile(timeout_profile::open);
    return 1;
}

open_failure open_serial_failure() { return last_failure; }

int drain_transmit(std::uint32_t bytes)
{
    if (handle_com == invalid_handle || !serial_limits::line_ok())
        return 0;
    // The API tells only that the port took every write; not whether the
    // bytes have left the adapter. The line time covers the rest, so this
    // reports "cannot tell" as a driver without an output count does.
    const std::int64_t line_ms = (line_time_us(bytes) + 999) / 1000;
    webserial_ready(static_cast<int>(line_ms + 50));
    return 0;
}

int async_write(const void* data, int count)
{
    if (count < 0 || handle_com == invalid_handle || !serial_limits::line_ok())
        return 0;
    if (count == 0)
        return 1;
    const std::int64_t deadline = serial_limits::write_begins(static_cast<std::uint64_t>(count));
    const std::int64_t limit_ms = (deadline - serial_limits::now_us() + 999) / 1000;
    switch (webserial_write(static_cast<const unsigned char*>(data), count,
                            static_cast<int>(limit_ms > INT_MAX ? INT_MAX : limit_ms))) {
    case 1:
        return 1;
    case 0:
        lose_line(line_state::stalled, "the port took no data within the write limit");
        return 0;
    default:
        lose_line(line_state::gone, "write failed");
        return 0;
    }
}

void purge_receive()
{
    if (handle_com != invalid_handle) {
        trace_purge(handle_com);
        (void)webserial_purge();
    }
}

void close_serial()
{
    if (handle_com != invalid_handle) {
        webserial_close(serial_limits::line_ok() ? 0 : 1);
        handle_com = invalid_handle;
    }
}
