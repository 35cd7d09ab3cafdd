#pragma once
// Matching a frame's stars against the reference's: invariant triangles of
// the brightest stars give candidate moves, the one most stars agree with
// wins (a deterministic RANSAC over the triangle matches), and a
// least-squares fit on every matched star refines it.

#include <string>
#include <vector>

#include "align/Similarity.h"
#include "align/StarDetect.h"

// Fewer agreeing stars than this is no match: random triangles rarely
// bring six unrelated stars within a few pixels of each other.
inline constexpr int kMinMatched = 6;

struct StarMatch {
    Similarity m_move;  // reference pixel -> frame pixel
    int m_matched = 0;
    double m_rmsPx = 0.0;
};

// Both lists brightest first. False with reason set when no move is
// consistent with enough stars.
bool MatchStars(const std::vector<Star>& reference, const std::vector<Star>& frame, StarMatch& match,
                std::string& reason);
