// One exchange with the amplifier at a time: the link check, a query, a setting, a frame passed on.
// Each is a small state machine the line's driver feeds with the wire's state, whole replies and
// time; none of them waits, sleeps or knows where its bytes go.
#pragma once

#include <cstdint>
#include <optional>

#include "engine/Types.h"
#include "protocol/Commands.h"

namespace engine {

class Exchange {
public:
    virtual ~Exchange() = default;
    virtual void Start(Us now) = 0;
    // The frame to write as soon as the wire is free; null while listening or done.
    virtual const proto::Frame* Pending() const = 0;
    // The pending frame went to the driver at now.
    virtual void Written(Us now) = 0;
    // A whole, checked reply.
    virtual void Heard(const proto::Reply& reply, Us now) = 0;
    // Time has come to now.
    virtual void Tick(Us now) = 0;
    // When Tick is next due; kNever while only the wire or a reply can move it on.
    virtual Us WakeUs() const = 0;
    virtual bool Done() const = 0;
};

// An exchange as steps: each writes a frame (or none) and then listens until a time, or until
// what it waits for comes. Replies that come while a step waits for the wire are not its own.
class StepExchange : public Exchange {
public:
    void Start(Us now) final;
    const proto::Frame* Pending() const final;
    void Written(Us now) final;
    void Heard(const proto::Reply& reply, Us now) final;
    void Tick(Us now) final;
    Us WakeUs() const final;
    bool Done() const final { return m_phase == Phase::kDone; }

protected:
    struct Step {
        std::optional<proto::Frame> frame;
        Us listenUs = 0;      // after the frame's write (or from the step's start without one)
        Us untilUs = kNever;  // and no longer than this
    };
    virtual Step First(Us now) = 0;
    // What follows a step that got what it waited for (satisfied) or whose time ran out.
    virtual std::optional<Step> Then(bool satisfied, Us now) = 0;
    // A reply while listening; true when it is what the step waits for.
    virtual bool Hear(const proto::Reply& reply) = 0;

private:
    enum class Phase { kSending, kListening, kDone };
    void Begin(const std::optional<Step>& step, Us now);

    Phase m_phase = Phase::kDone;
    Step m_step;
    Us m_listenUntil = kNever;
};

// Settings query, then the output query one spacing later, repeated every probe period until both
// are answered or the timeout passes. What is heard goes into amp as it comes.
class LinkCheck : public StepExchange {
public:
    static constexpr Us kProbePeriodUs = MsToUs(500);  // as the panel's probe timer repeats

    LinkCheck(Us timeoutUs, AmpSettings& amp) : m_timeoutUs(timeoutUs), m_amp(amp) {}
    bool Linked() const { return m_linked; }

private:
    Step First(Us now) override;
    std::optional<Step> Then(bool satisfied, Us now) override;
    bool Hear(const proto::Reply& reply) override;
    Step Round(Us now);

    const Us m_timeoutUs;
    AmpSettings& m_amp;
    Us m_deadline = 0;
    Us m_round = 0;
    bool m_outputStep = false;
    bool m_settings = false;
    bool m_output = false;
    bool m_linked = false;
};

// One query, answered by the reply of its type within the timeout (and no later than untilUs).
class Query : public StepExchange {
public:
    Query(std::uint8_t code, Us timeoutUs, Us untilUs = kNever) : m_code(code), m_timeoutUs(timeoutUs), m_untilUs(untilUs)
    {
    }
    const std::optional<proto::Reply>& Answer() const { return m_answer; }

private:
    Step First(Us now) override;
    std::optional<Step> Then(bool satisfied, Us now) override;
    bool Hear(const proto::Reply& reply) override;

    const std::uint8_t m_code;
    const Us m_timeoutUs;
    const Us m_untilUs;
    std::optional<proto::Reply> m_answer;
};

// A setting sent twice one spacing apart, as the panel sends it, and confirmed by the amplifier's
// echo of the value sent or, without one, by reading it back. An echo of another value may answer
// an earlier frame (a late echo of the setting before), so it ends nothing: the setting is then
// read back, and what the amplifier reports when asked is final.
class Setting : public StepExchange {
public:
    // sent: in wire units, clamped already; readBackUs bounds the read-back's wait.
    Setting(proto::SettingKind kind, std::int32_t requested, std::int32_t sent, Us readBackUs);
    const SettingResult& Result() const { return m_result; }

private:
    enum class Stage { kFirst, kSecond, kReadBack };
    Step First(Us now) override;
    std::optional<Step> Then(bool satisfied, Us now) override;
    bool Hear(const proto::Reply& reply) override;

    const proto::SettingKind m_kind;
    const proto::Frame m_frame;
    const Us m_readBackUs;
    Stage m_stage = Stage::kFirst;
    std::optional<std::int32_t> m_echoed;  // the last echo heard
    std::optional<std::int32_t> m_readBack;
    SettingResult m_result;
};

// A frame someone else decided on, written as it is; done once it went.
class Forward : public StepExchange {
public:
    explicit Forward(const proto::Frame& frame) : m_frame(frame) {}

private:
    Step First(Us) override { return Step{m_frame, 0, kNever}; }
    std::optional<Step> Then(bool, Us) override { return std::nullopt; }
    bool Hear(const proto::Reply&) override { return false; }

    const proto::Frame m_frame;
};

// Nothing written: listens until a time, as a watch waits for its next reading's slot.
class Pause : public StepExchange {
public:
    explicit Pause(Us untilUs) : m_untilUs(untilUs) {}

private:
    Step First(Us) override { return Step{std::nullopt, kNever, m_untilUs}; }
    std::optional<Step> Then(bool, Us) override { return std::nullopt; }
    bool Hear(const proto::Reply&) override { return false; }

    const Us m_untilUs;
};

}  // namespace engine
