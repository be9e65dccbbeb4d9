// Feeds the panel's reply framer a long stream of status replies and prints the bytes it takes a
// second, for scripts/bench.sh to set beside the line's 960 bytes/s. A figure, never a check:
// it fails only when the framer misses a frame of the stream.
//   framerbench [SECONDS]   (default 1)
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "protocol/Replies.h"
#include "protocol/RxFramer.h"

namespace {

constexpr int kFramesInStream = 4096;  // 68 kB of replies: the stream stays in the cache

std::vector<std::uint8_t> StatusStream()
{
    std::vector<std::uint8_t> stream;
    for (int i = 0; i < kFramesInStream; ++i) {
        proto::StatusReply reply;
        reply.currentMa = static_cast<std::uint16_t>(i);
        reply.inputPowerRaw = static_cast<std::uint16_t>(7000 + i);
        reply.outputPowerRaw = static_cast<std::uint16_t>(10000 + i);
        reply.temperatureRaw = static_cast<std::uint16_t>(2500 + i % 100);
        const proto::ReplyBytes frame = proto::EncodeReply(reply);
        stream.insert(stream.end(), frame.begin(), frame.end());
    }
    return stream;
}

}  // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 1.0;
    const std::vector<std::uint8_t> stream = StatusStream();
    proto::RxFramer framer;
    std::uint64_t bytes = 0;
    std::uint64_t frames = 0;
    std::uint64_t passes = 0;
    const auto start = std::chrono::steady_clock::now();
    double elapsed = 0.0;
    do {
        for (const std::uint8_t b : stream)
            frames += framer.Push(b);
        bytes += stream.size();
        ++passes;
        elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    } while (elapsed < seconds);
    std::printf("framer: %llu bytes, %llu frames in %.3f s: %.0f bytes/s\n", static_cast<unsigned long long>(bytes),
        static_cast<unsigned long long>(frames), elapsed, static_cast<double>(bytes) / elapsed);
    if (frames != passes * kFramesInStream) {
        std::fprintf(stderr, "framerbench: %llu frames found of %llu sent\n", static_cast<unsigned long long>(frames),
            static_cast<unsigned long long>(passes * kFramesInStream));
        return 1;
    }
    return 0;
}
