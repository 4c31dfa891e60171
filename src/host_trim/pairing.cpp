#include "host_trim/pairing.hpp"

namespace fenwa::host_trim {
namespace {

PairOutcome fail(PairOutcome out, PairError error, std::size_t message, std::uint32_t id,
                 std::size_t other = 0) {
    out.error = error;
    out.message = message;
    out.id = id;
    out.other = other;
    return out;
}

}  // namespace

PairOutcome pair_adjacent(const PairInput& in) {
    PairOutcome out;
    out.owner.assign(in.ids, -1);
    // The open calls, oldest first, and whether each is still waiting.
    std::vector<std::uint32_t> open;
    std::vector<std::uint8_t> waiting(in.ids, 0);
    std::size_t pending = 0;
    std::int64_t open_owner = -1;
    auto first_pending = [&]() {
        for (std::uint32_t id : open)
            if (waiting[id]) return id;
        return open.front();
    };
    for (std::size_t i = 0; i < in.n; ++i) {
        const std::uint32_t a0 = in.answer_start[i], a1 = in.answer_start[i + 1];
        const std::uint32_t c0 = in.call_start[i], c1 = in.call_start[i + 1];
        if (a0 != a1) {
            for (std::uint32_t k = a0; k < a1; ++k) {
                const std::uint32_t id = in.answers[k];
                if (open_owner < 0 || out.owner[id] != open_owner)
                    return fail(std::move(out), PairError::orphan, i, id);
                if (!waiting[id]) return fail(std::move(out), PairError::answered_twice, i, id);
                waiting[id] = 0;
                --pending;
            }
            if (c0 == c1) continue;
        }
        if (pending)
            return fail(std::move(out), PairError::unanswered_before,
                        static_cast<std::size_t>(open_owner), first_pending(), i);
        open_owner = -1;
        open.clear();
        if (c0 != c1) {
            open_owner = static_cast<std::int64_t>(i);
            for (std::uint32_t k = c0; k < c1; ++k) {
                const std::uint32_t id = in.calls[k];
                if (out.owner[id] >= 0)
                    return fail(std::move(out), PairError::id_used_twice, i, id);
                out.owner[id] = open_owner;
                waiting[id] = 1;
                open.push_back(id);
                ++pending;
            }
        }
    }
    if (pending)
        return fail(std::move(out), PairError::unanswered, static_cast<std::size_t>(open_owner),
                    first_pending());
    return out;
}

PairOutcome pair_anywhere(const PairInput& in) {
    PairOutcome out;
    out.owner.assign(in.ids, -1);
    std::vector<std::uint8_t> answered(in.ids, 0);
    std::vector<std::uint32_t> order;  // ids in the order of their calls
    std::int64_t reasoning = -1;       // the first of a run of reasoning items waiting
    for (std::size_t i = 0; i < in.n; ++i) {
        if (in.follower) {
            if (in.follower[i] == kReasoningItem) {
                if (reasoning < 0) reasoning = static_cast<std::int64_t>(i);
            } else if (reasoning >= 0) {
                if (in.follower[i] != kOutputItem)
                    return fail(std::move(out), PairError::reasoning_alone,
                                static_cast<std::size_t>(reasoning), 0, i);
                reasoning = -1;
            }
        }
        for (std::uint32_t k = in.call_start[i]; k < in.call_start[i + 1]; ++k) {
            const std::uint32_t id = in.calls[k];
            if (out.owner[id] >= 0) return fail(std::move(out), PairError::id_used_twice, i, id);
            out.owner[id] = static_cast<std::int64_t>(i);
            order.push_back(id);
        }
        for (std::uint32_t k = in.answer_start[i]; k < in.answer_start[i + 1]; ++k) {
            const std::uint32_t id = in.answers[k];
            if (out.owner[id] < 0) return fail(std::move(out), PairError::orphan, i, id);
            if (answered[id]) return fail(std::move(out), PairError::answered_twice, i, id);
            answered[id] = 1;
        }
    }
    if (reasoning >= 0)
        return fail(std::move(out), PairError::reasoning_alone, static_cast<std::size_t>(reasoning),
                    0, in.n);
    for (std::uint32_t id : order)
        if (!answered[id] && !(in.may_wait && in.may_wait[id])) {
            // Read before `out` is moved into the call: argument order is unspecified.
            const auto caller = static_cast<std::size_t>(out.owner[id]);
            return fail(std::move(out), PairError::unanswered, caller, id);
        }
    return out;
}

}  // namespace fenwa::host_trim
