// Small bins and tree bins: where free chunks other than the designated
// victim and the top chunk wait.
//
// Every link operation checks the addresses it is about to write through
// against lowest_address and skips just that operation when one fails; the
// bin heads and root words live in the state record, above lowest_address.
#include "klor/region_alloc.h"
#include "region_internal.h"
#include "region_layout.h"
#include "region_sanitize.h"

namespace KLOR {

// ---- small bins ---------------------------------------------------------------
//
// Bin i is a circular list through next_free / prev_free around its
// pseudo-chunk head H; insertion and removal at the front make it a stack.
// An emptied bin only loses its mask bit: its head links are stale until the
// next insertion rewrites them.

KLOR_REGION_RAW_ACCESS void insert_small_chunk(region_state* m, region_free_chunk* p,
                                               uint64_t size) {
    const uint32_t i = small_bin_index(size);
    region_free_chunk* h = small_bin_head(m, i);
    region_free_chunk* f = h;
    if ((m->small_bin_mask & (1u << i)) == 0) {
        m->small_bin_mask |= 1u << i;
    } else if (!below_lowest(m, h->next_free)) {
        f = h->next_free;
    }
    h->next_free = p;
    f->prev_free = p;
    p->next_free = f;
    p->prev_free = h;
}

KLOR_REGION_RAW_ACCESS void unlink_small_chunk(region_state* m, region_free_chunk* p,
                                               uint64_t size) {
    const uint32_t i = small_bin_index(size);
    region_free_chunk* h = small_bin_head(m, i);
    region_free_chunk* f = p->next_free;
    region_free_chunk* b = p->prev_free;
    if (f == b) {  // p was alone in its bin
        m->small_bin_mask &= ~(1u << i);
        return;
    }
    if ((f == h || !below_lowest(m, f)) && (b == h || !below_lowest(m, b))) {
        f->prev_free = b;
        b->next_free = f;
    }
}

KLOR_REGION_RAW_ACCESS region_free_chunk* take_small_bin_front(region_state* m, uint32_t i) {
    region_free_chunk* h = small_bin_head(m, i);
    region_free_chunk* p = h->next_free;
    region_free_chunk* f = p->next_free;
    if (f == h) {
        m->small_bin_mask &= ~(1u << i);
    } else if (!below_lowest(m, f)) {
        h->next_free = f;
        f->prev_free = h;
    }
    return p;
}

// ---- tree bins ----------------------------------------------------------------
//
// Tree bin i is a bitwise trie over the key bits of its sizes (see
// tree_key_shift): one node per distinct size, further chunks of that size in
// the node's same-size ring with parent == null.

KLOR_REGION_RAW_ACCESS void insert_tree_chunk(region_state* m, region_tree_chunk* x,
                                              uint64_t size) {
    const uint32_t i = tree_bin_index(size);
    region_tree_chunk** root = tree_root_slot(m, i);
    x->bin_index = i;
    x->children[0] = nullptr;
    x->children[1] = nullptr;
    if ((m->tree_bin_mask & (1u << i)) == 0) {
        m->tree_bin_mask |= 1u << i;
        *root = x;
        x->parent = reinterpret_cast<region_tree_chunk*>(root);
        x->next_free = x;
        x->prev_free = x;
        return;
    }
    region_tree_chunk* t = *root;
    uint64_t key = size << tree_key_shift(i);
    for (;;) {
        if (chunk_size(t) != size) {
            region_tree_chunk** slot = &t->children[key >> 63];
            key <<= 1;
            if (*slot != nullptr) {
                t = *slot;
            } else {
                if (!below_lowest(m, slot)) {
                    *slot = x;
                    x->parent = t;
                    x->next_free = x;
                    x->prev_free = x;
                }
                return;
            }
        } else {
            region_tree_chunk* f = t->next_free;
            if (!below_lowest(m, t) && !below_lowest(m, f)) {
                f->prev_free = x;
                t->next_free = x;
                x->next_free = f;
                x->prev_free = t;
                x->parent = nullptr;
            }
            return;
        }
    }
}

// A ring reads node -> newest -> ... -> oldest -> node, so the replacement
// R = x->prev_free of a node with company is the ring's oldest member. A node
// alone is replaced by the leaf reached by always preferring children[1],
// detached from its slot first.
KLOR_REGION_RAW_ACCESS void unlink_tree_chunk(region_state* m, region_tree_chunk* x) {
    region_tree_chunk* xp = x->parent;
    region_tree_chunk* r;
    if (x->prev_free != x) {
        r = x->prev_free;
        region_tree_chunk* f = x->next_free;
        if (!below_lowest(m, f)) {
            f->prev_free = r;
            r->next_free = f;
        }
    } else {
        region_tree_chunk** rp = &x->children[1];
        r = *rp;
        if (r == nullptr) {
            rp = &x->children[0];
            r = *rp;
        }
        if (r != nullptr) {
            for (;;) {
                region_tree_chunk** cp = &r->children[1];
                if (*cp == nullptr) cp = &r->children[0];
                if (*cp == nullptr) break;
                rp = cp;
                r = *cp;
            }
            if (!below_lowest(m, rp)) *rp = nullptr;
        }
    }
    if (xp == nullptr) return;  // x hung in a ring and was no trie node

    region_tree_chunk** root = tree_root_slot(m, x->bin_index);
    if (*root == x) {
        *root = r;
        if (r == nullptr) m->tree_bin_mask &= ~(1u << x->bin_index);
    } else if (!below_lowest(m, xp)) {
        if (xp->children[0] == x) {
            xp->children[0] = r;
        } else {
            xp->children[1] = r;
        }
    }
    if (r != nullptr && !below_lowest(m, r)) {
        r->parent = xp;
        for (int side = 0; side < 2; ++side) {
            region_tree_chunk* c = x->children[side];
            if (c != nullptr && !below_lowest(m, c)) {
                r->children[side] = c;
                c->parent = r;
            }
        }
    }
}

// ---- either ---------------------------------------------------------------------

KLOR_REGION_RAW_ACCESS void insert_free_chunk(region_state* m, region_chunk* p, uint64_t size) {
    if (is_small(size)) {
        insert_small_chunk(m, reinterpret_cast<region_free_chunk*>(p), size);
    } else {
        insert_tree_chunk(m, reinterpret_cast<region_tree_chunk*>(p), size);
    }
}

KLOR_REGION_RAW_ACCESS void unlink_free_chunk(region_state* m, region_chunk* p, uint64_t size) {
    if (is_small(size)) {
        unlink_small_chunk(m, reinterpret_cast<region_free_chunk*>(p), size);
    } else {
        unlink_tree_chunk(m, reinterpret_cast<region_tree_chunk*>(p));
    }
}

}  // namespace KLOR
