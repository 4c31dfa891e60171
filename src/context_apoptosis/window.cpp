#include "context_apoptosis/window.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

#include "context_apoptosis/siphash.hpp"
#include "context_apoptosis/text.hpp"
#include "platform/memory.hpp"

namespace fenwa::window {

using blocks::DURABLE_MASK;

namespace {
constexpr float kMinHalfLife = 0.1f;
constexpr char kEllipsis[] = "\xE2\x80\xA6";  // U+2026
}  // namespace

// ---------------------------------------------------------------------------
// Digests

void make_digest_in_place(std::string& text) {
    // Collapse the whitespace in place: every word moves to or before its
    // original position, so the writes never overtake the scan.
    char* const base = text.data();
    std::size_t out = 0;
    text::for_each_word(std::string_view(text), [&](std::string_view word) {
        if (out) base[out++] = ' ';
        std::memmove(base + out, word.data(), word.size());
        out += word.size();
    });
    text.resize(out);
    if (out <= kDigestBytes) return;
    std::size_t cut = kDigestBytes;
    while (cut < out && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) ++cut;
    if (cut == out) return;  // the last character starts before byte 120
    text.resize(cut);
    text.append(kEllipsis);
}

// ---------------------------------------------------------------------------
// Ledger

Ledger::Ledger(std::size_t capacity) noexcept
    : capacity_(capacity ? capacity : 1), indexed_(capacity_ > kScanLimit) {}

bool Ledger::contains(std::uint64_t hash) const {
    if (indexed_) return index_.contains(hash);
    for (const auto& e : entries_) {
        if (e.hash == hash) return true;
    }
    return false;
}

bool Ledger::append(std::uint64_t hash, text::StoredText&& text) {
    if (contains(hash)) return false;
    if (indexed_) index_.insert(hash);
    try {
        entries_.push_back(LedgerEntry{hash, std::move(text)});
    } catch (...) {
        if (indexed_) index_.erase(hash);
        throw;
    }
    // The ledger held at most `capacity_` entries before, so at most one rolls off.
    while (entries_.size() > capacity_) {
        if (indexed_) index_.erase(entries_.front().hash);
        entries_.pop_front();
    }
    return true;
}

// ---------------------------------------------------------------------------
// Block store

void Window::Store::reserve(std::size_t n) {
    // A count whose byte size cannot be represented is a capacity overflow; one
    // the machine could never back is refused before anything is reserved.
    if (n > oxygen.max_size()) throw std::length_error("capacity overflow");
    constexpr std::uint64_t kBytesPerBlock =
        sizeof(float) + sizeof(std::uint32_t) * 2 + sizeof(text::StoredText);
    if (n > UINT64_MAX / kBytesPerBlock || exceeds_machine_memory(n * kBytesPerBlock))
        throw std::bad_alloc();
    oxygen.reserve(n);
    signal.reserve(n);
    tokens.reserve(n);
    content.reserve(n);
}

void Window::Store::make_room() {
    const std::size_t n = size();
    if (n < oxygen.capacity() && n < signal.capacity() && n < tokens.capacity() &&
        n < content.capacity()) {
        return;
    }
    const std::size_t grown = n + std::max<std::size_t>(n, 8);
    auto grow = [&](auto& v) {
        if (v.size() == v.capacity()) v.reserve(grown);
    };
    grow(oxygen);
    grow(signal);
    grow(tokens);
    grow(content);
}

// ---------------------------------------------------------------------------
// Window

Window::Window(float half_life, float safe_threshold, std::uint64_t capacity,
               std::uint64_t state_capacity)
    : half_life_(half_life >= kMinHalfLife ? half_life : kMinHalfLife),  // NaN too
      safe_threshold_(safe_threshold),
      state_capacity_(state_capacity ? static_cast<std::size_t>(state_capacity) : 1),
      ledger_(state_capacity_) {
    if constexpr (sizeof(std::size_t) < sizeof(std::uint64_t)) {
        if (capacity > SIZE_MAX) throw std::length_error("capacity overflow");
    }
    blocks_.reserve(static_cast<std::size_t>(capacity));
}

void Window::insert(std::string_view content, std::uint32_t signal, std::optional<float> oxygen) {
    const text::StoredText stored = text::from_utf8(content);
    insert(stored.view(), content.size(), signal, oxygen);
}

void Window::insert(text::TextView content, std::size_t utf8_bytes, std::uint32_t signal,
                    std::optional<float> oxygen) {
    const std::uint32_t tokens = blocks::estimate_tokens(utf8_bytes);
    const float o = (oxygen && !(*oxygen < 0.0f)) ? *oxygen : blocks::metabolic_weight(signal);
    text::StoredText text(content);  // copied before the lock is taken

    std::lock_guard<std::mutex> lock(blocks_mutex_);
    blocks_.make_room();  // the only step that can fail; nothing is counted before it
    inserted_tokens_.fetch_add(tokens, std::memory_order_relaxed);
    blocks_.oxygen.push_back(o);
    blocks_.signal.push_back(signal);
    blocks_.tokens.push_back(tokens);
    blocks_.content.push_back(std::move(text));
}

float Window::decay_factor() const noexcept {
    const float exponent = -1.0f / half_life_;
    return std::exp2f(exponent);
}

CycleResult Window::cycle(float reinforce_boost, bool absorb, float decay) {
    CycleResult result;
    std::vector<text::StoredText> purged_texts;  // of the conversational blocks, with absorb
    const float threshold = safe_threshold_;

    std::lock_guard<std::mutex> lock(blocks_mutex_);
    float* const oxygen = blocks_.oxygen.data();
    std::uint32_t* const signal = blocks_.signal.data();
    const std::size_t n = blocks_.size();

    if (absorb) {
        // Size the digest list before anything changes, so that the purge below
        // cannot fail half-way.
        std::size_t conversational = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t s = signal[i];
            if (!blocks::is_durable(s) && blocks::is_conversational(s) &&
                !(oxygen[i] * decay >= threshold)) {
                ++conversational;
            }
        }
        purged_texts.reserve(conversational);
    }

    // Metabolism, counting the blocks that the purge will remove.
    std::size_t doomed = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const bool durable = (signal[i] & DURABLE_MASK) != 0;
        const float o = durable ? oxygen[i] + reinforce_boost : oxygen[i] * decay;
        oxygen[i] = o;
        doomed += !(durable || o >= threshold);  // a NaN oxygen never survives
    }
    if (doomed == 0) return result;

    // One stable pass that compacts the survivors in place.
    std::uint32_t* const tokens = blocks_.tokens.data();
    text::StoredText* const content = blocks_.content.data();
    std::size_t w = 0;
    std::uint64_t reclaimed = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t s = signal[i];
        if (blocks::is_durable(s) || oxygen[i] >= threshold) {
            if (w != i) {
                oxygen[w] = oxygen[i];
                signal[w] = s;
                tokens[w] = tokens[i];
                content[w] = std::move(content[i]);
            }
            ++w;
            continue;
        }
        reclaimed += tokens[i];
        if (absorb && blocks::is_conversational(s)) {
            purged_texts.push_back(std::move(content[i]));  // room reserved above
        }
    }
    blocks_.oxygen.resize(w);
    blocks_.signal.resize(w);
    blocks_.tokens.resize(w);
    blocks_.content.resize(w);

    result.purged = n - w;
    result.reclaimed = reclaimed;
    reclaimed_tokens_.fetch_add(reclaimed, std::memory_order_relaxed);

    result.digests.reserve(purged_texts.size());
    for (const auto& t : purged_texts) {
        result.digests.push_back(text::to_utf8(t.view()));
        make_digest_in_place(result.digests.back());
    }
    return result;
}

bool Window::ledger_append(std::string&& text) {
    const std::uint64_t hash = text_hash(text);
    text::StoredText stored = text::from_utf8(text);
    std::lock_guard<std::mutex> lock(ledger_mutex_);
    return ledger_.append(hash, std::move(stored));
}

bool Window::ledger_append(std::string_view utf8, text::TextView text) {
    const std::uint64_t hash = text_hash(utf8);
    text::StoredText stored(text);
    std::lock_guard<std::mutex> lock(ledger_mutex_);
    return ledger_.append(hash, std::move(stored));
}

void Window::set_purpose(std::optional<std::string>&& text) {
    std::optional<text::StoredText> stored;
    if (text) stored = text::from_utf8(*text);
    set_purpose(std::move(stored));
}

void Window::set_purpose(std::optional<text::StoredText>&& text) {
    std::optional<text::StoredText> old;
    {
        std::lock_guard<std::mutex> lock(purpose_mutex_);
        old.swap(purpose_);
        purpose_.swap(text);
    }
    // The previous purpose is released after the lock.
}

std::vector<std::string> Window::state_entries() const {
    std::vector<std::string> out;
    read_state([&](std::size_t n) { out.reserve(n); },
               [&](std::size_t, text::TextView t) { out.push_back(text::to_utf8(t)); });
    return out;
}

std::vector<std::string> Window::active_context() const {
    std::vector<std::string> out;
    read_active([&](std::size_t n) { out.reserve(n); },
                [&](std::size_t, text::TextView t) { out.push_back(text::to_utf8(t)); });
    return out;
}

namespace {

// Writes one section: measures it first, so that the sink grows once per section
// to its exact size and width.
class SectionWriter {
  public:
    void add(std::size_t length, text::Width width) noexcept {
        length_ += length;
        width_ = std::max(width_, width);
    }
    void open(text::Sink& sink) {
        const text::Sink::Room room = sink.extend(length_, width_);
        at_ = room.at;
        width_ = room.width;
    }
    void put(text::TextView t) noexcept {
        // Texts as wide as the output (the common case) are a plain copy.
        if (text::unit_size(t.width) == text::unit_size(width_)) {
            if (t.length) std::memcpy(at_, t.data, t.bytes());
            at_ += t.bytes();
        } else {
            at_ = text::copy_units(at_, width_, t);
        }
    }
    void put(std::string_view ascii) noexcept { put(text::ascii_view(ascii.data(), ascii.size())); }
    void put(char ascii) noexcept {
        if (width_ <= text::Width::latin1) {
            *at_++ = ascii;
        } else {
            put(text::ascii_view(&ascii, 1));
        }
    }

  private:
    std::size_t length_ = 0;
    text::Width width_ = text::Width::ascii;
    char* at_ = nullptr;
};

constexpr std::string_view kStateHeader = "STATE:\n";
constexpr std::string_view kEntryLead = "- ";

}  // namespace

void Window::render(text::Sink& sink) const {
    {
        std::lock_guard<std::mutex> lock(purpose_mutex_);
        if (purpose_) {
            const text::TextView p = purpose_->view();
            SectionWriter out;
            out.add(p.length + 1, p.width);
            out.open(sink);
            out.put(p);
            out.put('\n');
        }
    }
    {
        std::lock_guard<std::mutex> lock(ledger_mutex_);
        if (ledger_.size()) {
            SectionWriter out;
            out.add(kStateHeader.size(), text::Width::ascii);
            for (const auto& e : ledger_.entries()) {
                const text::TextView t = e.text.view();
                out.add(kEntryLead.size() + t.length + 1, t.width);
            }
            out.open(sink);
            out.put(kStateHeader);
            for (const auto& e : ledger_.entries()) {
                out.put(kEntryLead);
                out.put(e.text.view());
                out.put('\n');
            }
        }
    }
    {
        std::lock_guard<std::mutex> lock(blocks_mutex_);
        const auto& content = blocks_.content;
        if (!content.empty()) {
            SectionWriter out;
            out.add(content.size() - 1, text::Width::ascii);
            for (const auto& c : content) {
                const text::TextView t = c.view();
                out.add(t.length, t.width);
            }
            out.open(sink);
            out.put(content.front().view());
            for (std::size_t i = 1; i < content.size(); ++i) {
                out.put('\n');
                out.put(content[i].view());
            }
        }
    }
}

std::string Window::render() const {
    // Collects the rendering in fixed-width form, widening it when a later
    // section is wider, then encodes it.
    class Collect final : public text::Sink {
      public:
        Room extend(std::size_t length, text::Width width) override {
            if (width > width_) {
                std::string wider(units_.size() / text::unit_size(width_) * text::unit_size(width),
                                  '\0');
                text::copy_units(wider.data(), width,
                                 {units_.data(), units_.size() / text::unit_size(width_), width_});
                units_.swap(wider);
                width_ = width;
            }
            const std::size_t at = units_.size();
            units_.resize(at + length * text::unit_size(width_));
            return {units_.data() + at, width_};
        }
        std::string utf8() const {
            return text::to_utf8({units_.data(), units_.size() / text::unit_size(width_), width_});
        }

      private:
        std::string units_;
        text::Width width_ = text::Width::ascii;
    };
    Collect out;
    render(out);
    return out.utf8();
}

std::size_t Window::size() const {
    std::lock_guard<std::mutex> lock(blocks_mutex_);
    return blocks_.size();
}

std::uint64_t Window::active_tokens() const {
    std::lock_guard<std::mutex> lock(blocks_mutex_);
    std::uint64_t sum = 0;
    for (std::uint32_t t : blocks_.tokens) sum += t;
    return sum;
}

float Window::reduction_ratio() const noexcept {
    const std::uint64_t inserted = inserted_tokens();
    if (inserted == 0) return 0.0f;
    const std::uint64_t reclaimed = reclaimed_tokens();
    return static_cast<float>(reclaimed) / static_cast<float>(inserted);
}

std::vector<blocks::ContextBlock> Window::snapshot() const {
    std::lock_guard<std::mutex> lock(blocks_mutex_);
    std::vector<blocks::ContextBlock> out;
    out.reserve(blocks_.size());
    for (std::size_t i = 0; i < blocks_.size(); ++i) {
        out.push_back(blocks::ContextBlock{text::to_utf8(blocks_.content[i].view()),
                                           blocks_.oxygen[i], blocks_.signal[i],
                                           blocks_.tokens[i]});
    }
    return out;
}

}  // namespace fenwa::window
