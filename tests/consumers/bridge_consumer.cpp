// A C++ program using the FIFO and the servo as a library user would: a
// stereo FIFO in a class's member array, a servo driving the polyphase
// converter's ratio, each held to values worked out from the headers.
// Built in the tree as C++11 to C++20, and by tools/check_consumers.sh
// against an installed or included library.  Exit status 0 when every
// value matches.
#include <asrc_fifo.h>
#include <asrc_servo.h>

#include <cstdint>
#include <cstdio>

namespace {

int failures = 0;

void expect(const char* what, long long got, long long want)
{
    if (got != want) {
        std::printf("%s: %lld, expected %lld\n", what, got, want);
        ++failures;
    }
}

struct Bridge {
    std::int16_t memory[8 * 2];
    asrc_fifo fifo;
    asrc_servo servo;
    asrc_poly_state poly;
};

} // namespace

int main()
{
    static Bridge b;
    expect("fifo init", asrc_fifo_init(&b.fifo, b.memory, 8, 2), 0);
    expect("fifo refuses 0 channels", asrc_fifo_init(&b.fifo, b.memory, 8, 0), -1);
    const std::int16_t frames[4] = {10, 20, 30, 40};
    expect("write", asrc_fifo_write(&b.fifo, frames, 2), 2);
    expect("discard", asrc_fifo_discard(&b.fifo, 1), 1);
    std::int16_t out[2] = {0, 0};
    expect("read", asrc_fifo_read(&b.fifo, out, 1), 1);
    expect("second frame, left", out[0], 30);
    expect("no events", asrc_fifo_get_counts(&b.fifo).underruns, 0);

    // 44.1 kHz in, 48 kHz out: 44 input frames per update, 48 FIFO frames.
    const std::uint32_t ratio = asrc_poly_ratio(44100, 48000);
    asrc_servo_config config = asrc_servo_defaults(48000, 48, 96, ratio);
    expect("servo init", asrc_servo_init(&b.servo, &config), 0);
    expect("limits: -1%", config.ratio_min, ratio - ratio / 100);
    expect("limits: +1%", config.ratio_max, ratio + ratio / 100);
    config.track_ms = 100; // faster than acquisition
    expect("servo refuses", asrc_servo_init(&b.servo, &config), -1);

    // A fill over the target by more than a block is brought down by
    // dropping frames, while the ratio stays nominal.
    expect("poly init", asrc_poly_init(&b.poly, ratio), 0);
    expect("ratio", asrc_servo_update(&b.servo, 500, 0), ratio);
    expect("drop", asrc_servo_refill(&b.servo), -(500 - 24 - 96));
    asrc_servo_restart(&b.servo);
    expect("muted after a restart", asrc_servo_muted(&b.servo) != 0, 1);

    if (failures == 0)
        std::printf("asrc bridge C++ consumer: all values as expected\n");
    return failures == 0 ? 0 : 1;
}
