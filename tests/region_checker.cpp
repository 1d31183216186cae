#include "region_checker.h"

#include <cstdio>
#include <map>
#include <set>
#include <utility>

#include "region_sanitize.h"

namespace region_test {

namespace {

using KLOR::region_state;
using KLOR::region_tree_chunk;

constexpr uint64_t kTrailer = 72;

// Under memcheck the never-written bytes of a live block are undefined; the
// raw views below hand their copies to comparisons, so they mark them defined.
void markDefined(const void* p, uint64_t n) {
#if defined(KLOR_REGION_MEMCHECK)
    VALGRIND_MAKE_MEM_DEFINED(p, n);
#else
    (void)p;
    (void)n;
#endif
}

std::string hex(uint64_t v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
    return buf;
}

// Bin ranges as the layout tables give them, written out independently of the
// allocator's index arithmetic.
bool inTreeBin(uint64_t size, uint32_t i) {
    if (i == 31) return size >= 12582912;
    const uint64_t k = i / 2;
    const uint64_t low = (uint64_t(1) << (k + 8)) + (i & 1) * (uint64_t(1) << (k + 7));
    return size >= low && size < low + (uint64_t(1) << (k + 7));
}

// Size bit examined at trie depth d of bin i.
int keyBitPosition(uint32_t i, uint32_t d) { return (i == 31 ? 63 : int(i / 2) + 6) - int(d); }

class Checker {
public:
    explicit Checker(void* handle) : m_(static_cast<const region_state*>(handle)), handle_(handle) {}

    KLOR_REGION_RAW_ACCESS std::vector<std::string> run() {
        if (m_->top == nullptr) {
            problem("region has no top chunk");
            return problems_;
        }
        walk();
        checkTop();
        checkVictim();
        checkSmallBins();
        checkTreeBins();
        checkBinCoverage();
        checkStatistics();
        return problems_;
    }

private:
    void problem(const std::string& text) { problems_.push_back(text); }

    KLOR_REGION_RAW_ACCESS void walk() {
        const uint64_t first = (m_->segment.base + 7) & ~uint64_t(7);
        const uint64_t end = m_->segment.base + m_->segment.size;
        const uint64_t top = reinterpret_cast<uintptr_t>(m_->top);
        if (wordAt(first + 8) != 915) problem("first chunk size word is " + hex(wordAt(first + 8)));
        if (reinterpret_cast<uintptr_t>(m_) != first + 16) problem("handle is not first chunk + 16");
        uint64_t at = first;
        bool prevInUse = true;
        bool prevFree = false;
        while (at != top) {
            if (at < first || at >= end) {
                problem("walk left the region at " + hex(at));
                return;
            }
            const uint64_t word = wordAt(at + 8);
            ChunkView c{at, word & ~uint64_t(7), (word & 2) != 0, (word & 1) != 0};
            if ((word & 4) != 0) problem("size of " + hex(at) + " is not a multiple of 8");
            if (c.size < 32) {
                problem("chunk " + hex(at) + " has size " + hex(c.size));
                return;
            }
            if (c.prevInUse != prevInUse) problem("bit 0 of " + hex(at) + " disagrees with its predecessor");
            if (!c.inUse) {
                if (prevFree) problem("free chunks adjacent at " + hex(at));
                if (at + c.size > top) {
                    problem("free chunk " + hex(at) + " overlaps the top chunk");
                    return;
                }
                if (wordAt(at + c.size) != c.size) problem("free chunk " + hex(at) + " has no foot");
                free_[at] = c.size;
                freeBytes_ += c.size;
            }
            walkedBytes_ += c.size;
            prevInUse = c.inUse;
            prevFree = !c.inUse;
            at += c.size;
        }
        if (!prevInUse) problem("the chunk below the top chunk is free");
    }

    KLOR_REGION_RAW_ACCESS void checkTop() {
        const uint64_t top = reinterpret_cast<uintptr_t>(m_->top);
        const uint64_t size = m_->top_size;
        if (size % 8 != 0) problem("top size " + hex(size) + " is not a multiple of 8");
        if (wordAt(top + 8) != (size | 1)) problem("top size word is " + hex(wordAt(top + 8)));
        if (wordAt(top + size + 8) != kTrailer) problem("trailer size word is " + hex(wordAt(top + size + 8)));
        if (top + size + kTrailer > m_->segment.base + m_->segment.size) problem("trailer ends past the region");
    }

    void checkVictim() {
        const uint64_t v = reinterpret_cast<uintptr_t>(m_->victim);
        if (m_->victim_size == 0) {
            if (v != 0) problem("victim set with victim_size 0");
            return;
        }
        if (m_->victim_size < 32) problem("victim_size " + hex(m_->victim_size) + " below 32");
        if (free_.count(v) == 0) {
            problem("victim " + hex(v) + " is not a free chunk of the walk");
            return;
        }
        if (free_.at(v) != m_->victim_size) problem("victim_size disagrees with victim");
    }

    // Size of a free chunk of the walk (0 for any other address).
    uint64_t walkedSize(uint64_t address) const {
        const auto it = free_.find(address);
        return it == free_.end() ? 0 : it->second;
    }

    KLOR_REGION_RAW_ACCESS void checkSmallBins() {
        const uint64_t handle = reinterpret_cast<uintptr_t>(m_);
        for (uint32_t i = 0; i < 32; ++i) {
            const bool marked = (m_->small_bin_mask >> i) & 1;
            if (!marked) continue;  // an emptied bin's links are stale
            if (i < 4) problem("small bin " + std::to_string(i) + " is marked");
            const uint64_t head = handle + 64 + 16 * i;
            uint64_t prev = head;
            uint64_t at = wordAt(head + 16);
            size_t steps = 0;
            if (at == head) problem("small bin " + std::to_string(i) + " marked but empty");
            while (at != head) {
                if (++steps > free_.size() + 1) {
                    problem("small bin " + std::to_string(i) + " does not return to its head");
                    break;
                }
                if (free_.count(at) == 0) {
                    problem("small bin " + std::to_string(i) + " holds " + hex(at) + ", not a free chunk");
                    break;
                }
                if (walkedSize(at) != 8 * uint64_t(i)) problem("small bin " + std::to_string(i) + " holds wrong size");
                if (wordAt(at + 24) != prev) problem("small bin " + std::to_string(i) + " backward link broken");
                ++binned_[at];
                prev = at;
                at = wordAt(at + 16);
            }
            if (wordAt(head + 24) != prev) problem("small bin " + std::to_string(i) + " head backward link broken");
        }
    }

    KLOR_REGION_RAW_ACCESS void checkTreeBins() {
        for (uint32_t i = 0; i < 32; ++i) {
            const region_tree_chunk* root = m_->tree_bin_roots[i];
            const bool marked = (m_->tree_bin_mask >> i) & 1;
            if (marked != (root != nullptr)) problem("tree mask bit " + std::to_string(i) + " disagrees with root");
            if (root == nullptr) continue;
            std::set<uint64_t> sizes;
            struct Item {
                const region_tree_chunk* node;
                const region_tree_chunk* parent;
                uint32_t depth;
                uint64_t path;  // bit j = side taken at depth j
            };
            std::vector<Item> stack{{root, nullptr, 0, 0}};
            size_t visited = 0;
            while (!stack.empty()) {
                Item it = stack.back();
                stack.pop_back();
                const uint64_t at = reinterpret_cast<uintptr_t>(it.node);
                if (++visited > free_.size() + 1 || free_.count(at) == 0) {
                    problem("tree bin " + std::to_string(i) + " holds " + hex(at) + ", not a free chunk");
                    continue;
                }
                const uint64_t size = walkedSize(at);
                if (!inTreeBin(size, i)) problem("tree bin " + std::to_string(i) + " holds size " + hex(size));
                if (it.node->bin_index != i) problem("bin_index of " + hex(at) + " is wrong");
                if (!sizes.insert(size).second) problem("two trie nodes of size " + hex(size));
                const void* expectParent = it.parent ? static_cast<const void*>(it.parent)
                                                     : static_cast<const void*>(&m_->tree_bin_roots[i]);
                if (it.node->parent != expectParent) problem("parent of " + hex(at) + " is wrong");
                for (uint32_t d = 0; d < it.depth; ++d) {
                    const int bit = keyBitPosition(i, d);
                    if (bit < 0 || ((size >> bit) & 1) != ((it.path >> d) & 1)) {
                        problem("trie node " + hex(at) + " sits on the wrong side at depth " + std::to_string(d));
                        break;
                    }
                }
                ++binned_[at];
                checkRing(it.node, size, i);
                for (int side = 0; side < 2; ++side) {
                    const region_tree_chunk* child = it.node->children[side];
                    if (child != nullptr) {
                        stack.push_back({child, it.node, it.depth + 1, it.path | (uint64_t(side) << it.depth)});
                    }
                }
            }
        }
    }

    KLOR_REGION_RAW_ACCESS void checkRing(const region_tree_chunk* node, uint64_t size, uint32_t i) {
        const region_tree_chunk* prev = node;
        const region_tree_chunk* at = node->next_free;
        size_t steps = 0;
        while (at != node) {
            const uint64_t a = reinterpret_cast<uintptr_t>(at);
            if (++steps > free_.size() || free_.count(a) == 0) {
                problem("ring of " + hex(reinterpret_cast<uintptr_t>(node)) + " holds " + hex(a));
                return;
            }
            if (walkedSize(a) != size) problem("ring member " + hex(a) + " has another size");
            if (at->parent != nullptr) problem("ring member " + hex(a) + " has a parent");
            if (at->bin_index != i) problem("ring member " + hex(a) + " has the wrong bin_index");
            if (at->prev_free != prev) problem("ring member " + hex(a) + " backward link broken");
            ++binned_[a];
            prev = at;
            at = at->next_free;
        }
        if (node->prev_free != prev) problem("ring node backward link broken");
    }

    void checkBinCoverage() {
        const uint64_t v = reinterpret_cast<uintptr_t>(m_->victim);
        for (const auto& entry : free_) {
            const uint64_t f = entry.first;
            const int count = binned_.count(f) ? binned_.at(f) : 0;
            if (f == v) {
                if (count != 0) problem("the victim is in a bin");
            } else if (count != 1) {
                problem("free chunk " + hex(f) + " is in " + std::to_string(count) + " bins");
            }
        }
    }

    void checkStatistics() {
        const KLOR::region_stats s = KLOR::mspace_mallinfo(handle_);
        const uint64_t covered = walkedBytes_ + m_->top_size + kTrailer;
        const uint64_t freeBytes = freeBytes_ + m_->top_size + kTrailer;
        if (s.covered_bytes != covered) problem("mallinfo covered_bytes " + hex(s.covered_bytes));
        if (s.free_chunks != free_.size() + 1) problem("mallinfo free_chunks " + hex(s.free_chunks));
        if (s.free_bytes != freeBytes) problem("mallinfo free_bytes " + hex(s.free_bytes));
        if (s.top_bytes != m_->top_size) problem("mallinfo top_bytes");
        if (s.covered_bytes + s.outside_bytes != m_->footprint) problem("covered + outside != footprint");
        if (s.used_bytes + s.free_bytes != m_->footprint) problem("used + free != footprint");
        if (s.peak_footprint != m_->max_footprint) problem("mallinfo peak_footprint");
        if (s.reserved1 != 0 || s.reserved2 != 0 || s.reserved3 != 0) problem("mallinfo reserved fields");
        if (m_->footprint != m_->segment.size || m_->max_footprint != m_->segment.size) {
            problem("footprint changed");
        }
    }

    const region_state* m_;
    void* handle_;
    std::vector<std::string> problems_;
    std::map<uint64_t, uint64_t> free_;  // free chunks of the walk: address -> size
    std::map<uint64_t, int> binned_;
    uint64_t walkedBytes_ = 0;
    uint64_t freeBytes_ = 0;
};

}  // namespace

std::vector<std::string> checkRegion(void* handle) { return Checker(handle).run(); }

KLOR_REGION_RAW_ACCESS std::vector<ChunkView> walkChunks(void* handle) {
    const region_state* m = static_cast<const region_state*>(handle);
    std::vector<ChunkView> out;
    uint64_t at = (m->segment.base + 7) & ~uint64_t(7);
    const uint64_t top = reinterpret_cast<uintptr_t>(m->top);
    const uint64_t end = m->segment.base + m->segment.size;
    while (at != top && at < end) {
        const uint64_t word = wordAt(at + 8);
        out.push_back({at, word & ~uint64_t(7), (word & 2) != 0, (word & 1) != 0});
        if ((word & ~uint64_t(7)) == 0) break;
        at += word & ~uint64_t(7);
    }
    return out;
}

KLOR_REGION_RAW_ACCESS std::vector<uint64_t> smallBinMembers(void* handle, uint32_t i) {
    const region_state* m = static_cast<const region_state*>(handle);
    std::vector<uint64_t> out;
    if (((m->small_bin_mask >> i) & 1) == 0) return out;
    const uint64_t head = reinterpret_cast<uintptr_t>(m) + 64 + 16 * uint64_t(i);
    for (uint64_t at = wordAt(head + 16); at != head && out.size() < 100000; at = wordAt(at + 16)) {
        out.push_back(at);
    }
    return out;
}

KLOR_REGION_RAW_ACCESS std::vector<uint64_t> treeNodes(void* handle, uint32_t i) {
    const region_state* m = static_cast<const region_state*>(handle);
    std::vector<uint64_t> out;
    std::vector<const region_tree_chunk*> stack;
    if (m->tree_bin_roots[i] != nullptr) stack.push_back(m->tree_bin_roots[i]);
    while (!stack.empty() && out.size() < 100000) {
        const region_tree_chunk* t = stack.back();
        stack.pop_back();
        out.push_back(reinterpret_cast<uintptr_t>(t));
        // Copied out here: the vector must not read region memory itself.
        const region_tree_chunk* right = t->children[1];
        const region_tree_chunk* left = t->children[0];
        if (right != nullptr) stack.push_back(right);
        if (left != nullptr) stack.push_back(left);
    }
    markDefined(out.data(), out.size() * sizeof(uint64_t));
    return out;
}

KLOR_REGION_RAW_ACCESS std::vector<uint64_t> ringMembers(void*, uint64_t node) {
    std::vector<uint64_t> out;
    for (uint64_t at = wordAt(node + 16); at != node && out.size() < 100000; at = wordAt(at + 16)) {
        out.push_back(at);
    }
    return out;
}

KLOR_REGION_RAW_ACCESS uint64_t wordAt(uint64_t address) {
    uint64_t value = *reinterpret_cast<const volatile uint64_t*>(static_cast<uintptr_t>(address));
    markDefined(&value, sizeof value);
    return value;
}

KLOR_REGION_RAW_ACCESS void setWordAt(uint64_t address, uint64_t value) {
    *reinterpret_cast<volatile uint64_t*>(static_cast<uintptr_t>(address)) = value;
}

KLOR_REGION_RAW_ACCESS std::vector<uint8_t> snapshot(const void* address, uint64_t bytes) {
    std::vector<uint8_t> out(bytes);
    const volatile uint8_t* from = static_cast<const volatile uint8_t*>(address);
    for (uint64_t i = 0; i < bytes; ++i) out[i] = from[i];
    markDefined(out.data(), bytes);
    return out;
}

uint64_t usableSize(const void* mem) {
    return (wordAt(reinterpret_cast<uintptr_t>(mem) - 8) & ~uint64_t(7)) - 8;
}

std::string joinProblems(const std::vector<std::string>& problems) {
    std::string out;
    for (const std::string& p : problems) out += p + "\n";
    return out;
}

}  // namespace region_test
