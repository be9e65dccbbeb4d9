#include "protocol/Replies.h"

#include <algorithm>

namespace proto {

namespace {

// Each reply's type, frame size and field positions (frame positions, 0 = first header byte).
// Fields() serves both directions: the visitor either reads the frame into the fields or writes
// the fields into the frame.
template <class R> struct Layout;

template <> struct Layout<StatusReply> {
    static constexpr std::uint8_t kType = REPLY_STATUS;
    static constexpr std::size_t kFrameSize = 17;
    template <class Reply, class Visit> static void Fields(Reply& r, Visit&& v)
    {
        // 4-5 and 12-13 carry nothing the panel reads.
        v.Word(6, r.currentMa);
        v.Word(8, r.inputPowerRaw);
        v.Word(10, r.outputPowerRaw);
        v.Word(14, r.temperatureRaw);
    }
};

template <> struct Layout<SettingsReply> {
    static constexpr std::uint8_t kType = REPLY_SETTINGS;
    static constexpr std::size_t kFrameSize = 19;
    template <class Reply, class Visit> static void Fields(Reply& r, Visit&& v)
    {
        v.Word(4, r.targetPowerRaw);
        v.Word(8, r.targetCurrentMa);
        v.Word(12, r.maxCurrentMa);
        v.Byte(16, r.mode);
        v.Byte(17, r.currentCmdSelect);
    }
};

template <> struct Layout<TargetPowerReply> {
    static constexpr std::uint8_t kType = REPLY_TARGET_POWER;
    static constexpr std::size_t kFrameSize = 7;
    template <class Reply, class Visit> static void Fields(Reply& r, Visit&& v) { v.Word(4, r.targetPowerRaw); }
};

template <> struct Layout<ModeReply> {
    static constexpr std::uint8_t kType = REPLY_MODE;
    static constexpr std::size_t kFrameSize = 6;
    template <class Reply, class Visit> static void Fields(Reply& r, Visit&& v) { v.Byte(4, r.mode); }
};

template <> struct Layout<TargetCurrentReply> {
    static constexpr std::uint8_t kType = REPLY_TARGET_CURRENT;
    static constexpr std::size_t kFrameSize = 9;
    // 4-5 are sent as 0 and not read.
    template <class Reply, class Visit> static void Fields(Reply& r, Visit&& v) { v.Word(6, r.targetCurrentMa); }
};

template <> struct Layout<OutputReply> {
    static constexpr std::uint8_t kType = REPLY_OUTPUT;
    static constexpr std::size_t kFrameSize = 6;
    template <class Reply, class Visit> static void Fields(Reply& r, Visit&& v) { v.Byte(4, r.state); }
};

struct FromFramer {
    const RxFramer& framer;
    void Word(int pos, std::uint16_t& field) const { field = static_cast<std::uint16_t>(framer.Word(pos)); }
    void Byte(int pos, std::uint8_t& field) const { field = framer.Byte(pos); }
};

struct IntoFrame {
    ReplyBytes& frame;
    void Word(std::size_t pos, std::uint16_t value) const
    {
        frame[pos] = static_cast<std::uint8_t>(value >> 8);
        frame[pos + 1] = static_cast<std::uint8_t>(value & 0xFF);
    }
    void Byte(std::size_t pos, std::uint8_t value) const { frame[pos] = value; }
};

ReplyBytes StartReply(std::uint8_t type, std::size_t frameSize)
{
    ReplyBytes frame(frameSize, 0);
    frame[0] = kReplyHeader1;
    frame[1] = kReplyHeader2;
    frame[2] = static_cast<std::uint8_t>(frameSize - 3);
    frame[3] = type;
    return frame;
}

void SealReply(ReplyBytes& frame)
{
    frame.back() = FrameChecksum(frame.data(), frame.size() - 1);
}

// Tries the variant's alternatives in turn from the first typed one.
template <std::size_t I = 1> Reply DecodeAs(const RxFramer& framer)
{
    if constexpr (I == std::variant_size_v<Reply>) {
        return OtherReply{framer.Type()};
    } else {
        using R = std::variant_alternative_t<I, Reply>;
        if (framer.Type() != Layout<R>::kType)
            return DecodeAs<I + 1>(framer);
        R reply;
        Layout<R>::Fields(reply, FromFramer{framer});
        return reply;
    }
}

}  // namespace

Reply DecodeReply(const RxFramer& framer)
{
    return DecodeAs(framer);
}

template <class R> ReplyBytes EncodeReply(const R& reply)
{
    ReplyBytes frame = StartReply(Layout<R>::kType, Layout<R>::kFrameSize);
    Layout<R>::Fields(reply, IntoFrame{frame});
    SealReply(frame);
    return frame;
}

template ReplyBytes EncodeReply(const StatusReply&);
template ReplyBytes EncodeReply(const SettingsReply&);
template ReplyBytes EncodeReply(const TargetPowerReply&);
template ReplyBytes EncodeReply(const ModeReply&);
template ReplyBytes EncodeReply(const TargetCurrentReply&);
template ReplyBytes EncodeReply(const OutputReply&);

ReplyBytes EncodeReply(const Reply& reply)
{
    return std::visit(Overloaded{[](const OtherReply& other) { return MakeReplyFrame(other.type, {}); },
                          [](const auto& typed) { return EncodeReply(typed); }},
        reply);
}

ReplyBytes MakeReplyFrame(std::uint8_t type, const ReplyBytes& data)
{
    ReplyBytes frame = StartReply(type, data.size() + 5);
    std::copy(data.begin(), data.end(), frame.begin() + 4);
    SealReply(frame);
    return frame;
}

}  // namespace proto
