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

namespace {
constexpr char kEllipsis[] = "\xE2\x80\xA6";  // U+2026
constexpr std::string_view kStateHeader = "STATE:\n";
constexpr std::string_view kEntryLead = "- ";
}  // namespace

// ---------------------------------------------------------------------------
// Digests

std::string make_digest(std::string_view text) {
    // Past 123 bytes of the collapsed text the cut is certain (a character is at
    // most 4 bytes long) and comes before the end, so nothing further is kept.
    constexpr std::size_t kEnough = kDigestBytes + 4;
    std::string out;
    out.reserve(std::min(text.size(), kEnough) + sizeof(kEllipsis));
    text::for_each_word(text, [&](std::string_view word) {
        if (out.size() >= kEnough) return;
        if (!out.empty()) out += ' ';
        out.append(word.substr(0, kEnough - std::min(out.size(), kEnough)));
    });
    if (out.size() <= kDigestBytes) return out;
    std::size_t cut = kDigestBytes;
    while (cut < out.size() && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) ++cut;
    if (cut == out.size()) return out;  // the last character starts before byte 120
    out.resize(cut);
    out.append(kEllipsis);
    return out;
}

// ---------------------------------------------------------------------------
// Ledger

Ledger::Ledger(std::size_t capacity) noexcept
    : capacity_(capacity ? capacity : 1), indexed_(capacity_ > kScanLimit) {}

bool Ledger::contains(std::uint64_t hash) const {
    if (indexed_) return index_.contains(hash);
    bool found = false;
    for_each([&](const LedgerEntry& e) { found = found || e.hash == hash; });
    return found;
}

void Ledger::make_room(std::size_t extra) {
    // An append at full capacity rolls the oldest entry off first, so the ring
    // and the index never hold more than the capacity.
    const std::size_t wanted = count_ + promised_ + extra;
    const std::size_t needed = wanted < count_ || wanted > capacity_ ? capacity_ : wanted;
    if (indexed_) index_.reserve(needed);
    if (needed <= ring_.size()) return;
    std::size_t size = ring_.empty() ? 4 : ring_.size();
    while (size < needed) size = size > capacity_ / 2 ? capacity_ : size * 2;
    std::vector<LedgerEntry> bigger(size);
    for (std::size_t i = 0; i < count_; ++i)
        bigger[i] = std::move(ring_[(head_ + i) % ring_.size()]);
    ring_.swap(bigger);
    head_ = 0;
}

void Ledger::push(std::uint64_t hash, text::StoredText&& text) noexcept {
    if (count_ == capacity_) {
        LedgerEntry& oldest = ring_[head_];
        if (indexed_) index_.erase(oldest.hash);
        oldest.text = text::StoredText();
        head_ = (head_ + 1) % ring_.size();
        --count_;
    }
    LedgerEntry& slot = ring_[(head_ + count_) % ring_.size()];
    slot.hash = hash;
    slot.text = std::move(text);
    if (indexed_) index_.insert(hash);  // room made beforehand: no allocation
    ++count_;
}

bool Ledger::append(std::uint64_t hash, text::StoredText&& text) {
    if (contains(hash)) return false;
    make_room(1);
    push(hash, std::move(text));
    return true;
}

void Ledger::promise(std::size_t n) {
    make_room(n);
    promised_ += n;
}

bool Ledger::append_promised(std::uint64_t hash, text::StoredText&& text) noexcept {
    --promised_;
    if (contains(hash)) return false;
    push(hash, std::move(text));
    return true;
}

// ---------------------------------------------------------------------------
// Block store

void Window::Store::reserve(std::uint64_t count) {
    // Every column together: a count whose byte size cannot be represented is a
    // capacity overflow; one the machine could never back is refused up front.
    check_reservation(count, sizeof(float) + sizeof(std::uint32_t) * 2 + sizeof(text::StoredText));
    const auto n = static_cast<std::size_t>(count);
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
    : half_life_(blocks::floor_half_life(half_life)),
      safe_threshold_(safe_threshold),
      state_capacity_(state_capacity ? static_cast<std::size_t>(state_capacity) : 1),
      ledger_(state_capacity_) {
    blocks_.reserve(capacity);
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

Window::Plan Window::plan(float reinforce_boost, float decay, bool absorb) const noexcept {
    Plan p;
    const float* const oxygen = blocks_.oxygen.data();
    const std::uint32_t* const signal = blocks_.signal.data();
    for (std::size_t i = 0, n = blocks_.size(); i < n; ++i) {
        const std::uint32_t s = signal[i];
        if (blocks::survives(s, blocks::metabolize(s, oxygen[i], reinforce_boost, decay),
                             safe_threshold_))
            continue;
        ++p.doomed;
        p.digests += absorb && blocks::is_conversational(s);
    }
    return p;
}

std::vector<Window::Digest> Window::digests_of_doomed(float reinforce_boost, float decay,
                                                      std::size_t count) const {
    std::vector<Digest> out;
    out.reserve(count);
    const float* const oxygen = blocks_.oxygen.data();
    const std::uint32_t* const signal = blocks_.signal.data();
    for (std::size_t i = 0, n = blocks_.size(); i < n && out.size() < count; ++i) {
        const std::uint32_t s = signal[i];
        if (blocks::is_conversational(s) &&
            !blocks::survives(s, blocks::metabolize(s, oxygen[i], reinforce_boost, decay),
                              safe_threshold_)) {
            const std::string digest = make_digest(text::to_utf8(blocks_.content[i].view()));
            out.push_back(Digest{text_hash(digest), text::from_utf8(digest)});
        }
    }
    return out;
}

std::uint64_t Window::apply(float reinforce_boost, float decay) noexcept {
    float* const oxygen = blocks_.oxygen.data();
    std::uint32_t* const signal = blocks_.signal.data();
    std::uint32_t* const tokens = blocks_.tokens.data();
    text::StoredText* const content = blocks_.content.data();
    const std::size_t n = blocks_.size();
    // Metabolism, then one stable pass that compacts the survivors in place.
    std::size_t doomed = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const float o = blocks::metabolize(signal[i], oxygen[i], reinforce_boost, decay);
        oxygen[i] = o;
        doomed += !blocks::survives(signal[i], o, safe_threshold_);
    }
    if (doomed == 0) return 0;
    std::size_t w = 0;
    std::uint64_t reclaimed = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t s = signal[i];
        if (blocks::survives(s, oxygen[i], safe_threshold_)) {
            if (w != i) {
                oxygen[w] = oxygen[i];
                signal[w] = s;
                tokens[w] = tokens[i];
                content[w] = std::move(content[i]);
            }
            ++w;
        } else {
            reclaimed += tokens[i];
        }
    }
    // Shrinking never allocates.
    blocks_.oxygen.resize(w);
    blocks_.signal.resize(w);
    blocks_.tokens.resize(w);
    blocks_.content.erase(blocks_.content.begin() + static_cast<std::ptrdiff_t>(w),
                          blocks_.content.end());
    reclaimed_tokens_.fetch_add(reclaimed, std::memory_order_relaxed);
    return n - w;
}

namespace {

// Releases the outer lock for a scope and takes it back at its end.
class OuterReleased {
  public:
    explicit OuterReleased(OuterLock& outer) noexcept : outer_(outer) { outer_.release(); }
    ~OuterReleased() { outer_.reacquire(); }
    OuterReleased(const OuterReleased&) = delete;
    OuterReleased& operator=(const OuterReleased&) = delete;

  private:
    OuterLock& outer_;
};

class NoOuterLock final : public OuterLock {
  public:
    void release() noexcept override {}
    void reacquire() noexcept override {}
};

}  // namespace

std::uint64_t Window::dehydrate(float reinforce_boost, bool absorb) {
    NoOuterLock none;
    return dehydrate(reinforce_boost, absorb, none);
}

std::uint64_t Window::dehydrate(float reinforce_boost, bool absorb, OuterLock& outer) {
    const float decay = decay_factor();
    if (!absorb) {
        // Without digests nothing can fail: decay and purge at once.
        OuterReleased released(outer);
        std::lock_guard<std::mutex> lock(blocks_mutex_);
        return apply(reinforce_boost, decay);
    }
    // Ledger room promised for this cycle's digests. It is made with only the
    // outer lock held, before the blocks lock; if the blocks changed meanwhile
    // and the cycle would leave more digests than promised, it promises more and
    // starts again. Until the purge nothing has changed.
    std::size_t promised = 0;
    auto withdraw = [&] {
        if (promised == 0) return;
        std::lock_guard<std::mutex> lock(ledger_mutex_);
        ledger_.withdraw(promised);
    };
    std::vector<Digest> digests;
    std::uint64_t purged = 0;
    try {
        for (;;) {
            std::size_t wanted = 0;
            {
                OuterReleased released(outer);
                std::lock_guard<std::mutex> lock(blocks_mutex_);
                const Plan p = plan(reinforce_boost, decay, absorb);
                if (p.digests <= promised) {
                    digests = digests_of_doomed(reinforce_boost, decay, p.digests);
                    purged = apply(reinforce_boost, decay);
                    break;
                }
                wanted = p.digests;
            }
            // The blocks lock is dropped and the outer lock held again.
            std::lock_guard<std::mutex> lock(ledger_mutex_);
            ledger_.promise(wanted - promised);
            promised = wanted;
        }
    } catch (...) {
        withdraw();
        throw;
    }
    if (promised == 0) return purged;
    std::lock_guard<std::mutex> lock(ledger_mutex_);
    for (auto& d : digests) ledger_.append_promised(d.hash, std::move(d.text));
    ledger_.withdraw(promised - digests.size());
    return purged;
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

text::TextSnapshot Window::state_texts() const {
    text::TextSnapshot out;
    std::lock_guard<std::mutex> lock(ledger_mutex_);
    out.reserve(ledger_.size());
    ledger_.for_each([&](const LedgerEntry& e) { out.push_back(e.text.share()); });
    return out;
}

text::TextSnapshot Window::active_texts() const {
    text::TextSnapshot out;
    std::lock_guard<std::mutex> lock(blocks_mutex_);
    out.reserve(blocks_.content.size());
    for (const auto& c : blocks_.content) out.push_back(c.share());
    return out;
}

namespace {

std::vector<std::string> utf8_of(const text::TextSnapshot& texts) {
    std::vector<std::string> out;
    out.reserve(texts.size());
    for (const auto& t : texts) out.push_back(text::to_utf8(t.view()));
    return out;
}

}  // namespace

std::vector<std::string> Window::state_entries() const {
    return utf8_of(state_texts());
}

std::vector<std::string> Window::active_context() const {
    return utf8_of(active_texts());
}

Rendering Window::rendering() const {
    // Each text is measured as its handle is taken, while its header is at hand.
    Rendering out;
    std::size_t length = 0;
    text::Width width = text::Width::ascii;
    auto take = [&](const text::StoredText& t) {
        length += t.length();
        width = std::max(width, t.width());
        return t.share();
    };
    {
        std::lock_guard<std::mutex> lock(purpose_mutex_);
        if (purpose_) {
            out.purpose_.emplace(take(*purpose_));
            length += 1;
        }
    }
    {
        std::lock_guard<std::mutex> lock(ledger_mutex_);
        out.ledger_.reserve(ledger_.size());
        ledger_.for_each([&](const LedgerEntry& e) { out.ledger_.push_back(take(e.text)); });
    }
    if (!out.ledger_.empty()) {
        length += kStateHeader.size() + out.ledger_.size() * (kEntryLead.size() + 1);
    }
    {
        std::lock_guard<std::mutex> lock(blocks_mutex_);
        out.blocks_.reserve(blocks_.content.size());
        for (const auto& c : blocks_.content) out.blocks_.push_back(take(c));
    }
    if (!out.blocks_.empty()) length += out.blocks_.size() - 1;
    out.length_ = length;
    out.width_ = width;
    return out;
}

std::string Window::render() const {
    return rendering().utf8();
}

// ---------------------------------------------------------------------------
// Rendering

namespace {

// Writes code points at one fixed width.
class UnitWriter {
  public:
    UnitWriter(char* at, text::Width width) noexcept : at_(at), width_(width) {}
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
        switch (text::unit_size(width_)) {
            case 1:
                *at_++ = ascii;
                break;
            case 2: {
                const auto u = static_cast<std::uint16_t>(ascii);
                std::memcpy(at_, &u, 2);
                at_ += 2;
                break;
            }
            default: {
                const auto u = static_cast<std::uint32_t>(ascii);
                std::memcpy(at_, &u, 4);
                at_ += 4;
                break;
            }
        }
    }
    char* end() const noexcept { return at_; }

  private:
    char* at_;
    text::Width width_;
};

}  // namespace

char* Rendering::write(char* dst, text::Width width) const noexcept {
    UnitWriter out(dst, width);
    if (purpose_) {
        out.put(purpose_->view());
        out.put('\n');
    }
    if (!ledger_.empty()) {
        out.put(kStateHeader);
        for (const auto& t : ledger_) {
            out.put(kEntryLead);
            out.put(t.view());
            out.put('\n');
        }
    }
    if (!blocks_.empty()) {
        out.put(blocks_.front().view());
        for (std::size_t i = 1; i < blocks_.size(); ++i) {
            out.put('\n');
            out.put(blocks_[i].view());
        }
    }
    return out.end();
}

std::string Rendering::utf8() const {
    std::string units(length_ * text::unit_size(width_), '\0');
    write(units.data(), width_);
    return text::to_utf8({units.data(), length_, width_});
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
