#include "align/StarMatch.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace {

// The brightest stars of each side that form triangles (n^3/6 of them).
constexpr size_t kTriangleStars = 30;
// Stars checked against a candidate move, and used for the refinement.
constexpr size_t kCheckStars = 80;
constexpr size_t kRefineStars = 1000;
constexpr float kInvariantTolerance = 0.01f;
constexpr double kMinSide = 8.0;  // px; shorter sides carry too little angle
constexpr double kMinScale = 0.5, kMaxScale = 2.0;
constexpr double kCandidateTolerance = 3.0;    // px
constexpr double kFirstRefineTolerance = 2.0;  // px
constexpr double kMinRefineTolerance = 0.3;    // px
constexpr int kRefineRounds = 4;
// A candidate this many checked stars agree with is taken at once.
constexpr double kGoodEnough = 0.7;

struct Triangle {
    float m_r1, m_r2;  // middle and shortest side over the longest
    int m_v[3];        // vertices opposite the longest, middle, shortest side
    bool m_ccw;
};

double Distance(const Star& l, const Star& r) { return std::hypot(l.m_x - r.m_x, l.m_y - r.m_y); }

std::vector<Triangle> BuildTriangles(const std::vector<Star>& stars)
{
    const int n = static_cast<int>(std::min(stars.size(), kTriangleStars));
    std::vector<Triangle> triangles;
    for (int i = 0; i < n; ++i)
        for (int j = i + 1; j < n; ++j)
            for (int k = j + 1; k < n; ++k) {
                // each vertex with the length of the side opposite it
                std::pair<double, int> v[3] = {{Distance(stars[j], stars[k]), i},
                                               {Distance(stars[i], stars[k]), j},
                                               {Distance(stars[i], stars[j]), k}};
                std::sort(v, v + 3, [](const auto& l, const auto& r) { return l.first > r.first; });
                if (v[2].first < kMinSide)
                    continue;
                const Star &a = stars[v[0].second], &b = stars[v[1].second], &c = stars[v[2].second];
                const double cross = (b.m_x - a.m_x) * (c.m_y - a.m_y) - (b.m_y - a.m_y) * (c.m_x - a.m_x);
                triangles.push_back({static_cast<float>(v[1].first / v[0].first),
                                     static_cast<float>(v[2].first / v[0].first),
                                     {v[0].second, v[1].second, v[2].second},
                                     cross > 0.0});
            }
    std::sort(triangles.begin(), triangles.end(), [](const Triangle& l, const Triangle& r) { return l.m_r1 < r.m_r1; });
    return triangles;
}

// The frame's stars in square cells, for the nearest star to a point.
class StarGrid {
public:
    StarGrid(const std::vector<Star>& stars, size_t count, double cell) : m_stars(stars), m_cell(cell)
    {
        m_count = std::min(stars.size(), count);
        for (size_t i = 0; i < m_count; ++i) {
            m_minX = std::min(m_minX, stars[i].m_x);
            m_minY = std::min(m_minY, stars[i].m_y);
        }
        for (size_t i = 0; i < m_count; ++i) {
            m_columns = std::max(m_columns, Cell(stars[i].m_x, m_minX) + 1);
            m_rows = std::max(m_rows, Cell(stars[i].m_y, m_minY) + 1);
        }
        m_first.assign(static_cast<size_t>(m_columns) * m_rows + 1, 0);
        for (size_t i = 0; i < m_count; ++i)
            ++m_first[Index(stars[i]) + 1];
        for (size_t c = 1; c < m_first.size(); ++c)
            m_first[c] += m_first[c - 1];
        m_members.resize(m_count);
        std::vector<int> next(m_first.begin(), m_first.end() - 1);
        for (size_t i = 0; i < m_count; ++i)
            m_members[next[Index(stars[i])]++] = static_cast<int>(i);
    }

    // The nearest star within tolerance (at most one cell), or -1.
    int Nearest(double x, double y, double tolerance) const
    {
        const int cx = Cell(x, m_minX), cy = Cell(y, m_minY);
        int best = -1;
        double bestDistance = tolerance * tolerance;
        for (int gy = std::max(cy - 1, 0); gy <= std::min(cy + 1, m_rows - 1); ++gy)
            for (int gx = std::max(cx - 1, 0); gx <= std::min(cx + 1, m_columns - 1); ++gx) {
                const size_t c = static_cast<size_t>(gy) * m_columns + gx;
                for (int k = m_first[c]; k < m_first[c + 1]; ++k) {
                    const Star& s = m_stars[m_members[k]];
                    const double d = (s.m_x - x) * (s.m_x - x) + (s.m_y - y) * (s.m_y - y);
                    if (d <= bestDistance && (d < bestDistance || m_members[k] < best)) {
                        bestDistance = d;
                        best = m_members[k];
                    }
                }
            }
        return best;
    }

private:
    int Cell(double v, double origin) const
    {
        return static_cast<int>(std::clamp(std::floor((v - origin) / m_cell), -1.0, 1e6));
    }
    size_t Index(const Star& s) const
    {
        return static_cast<size_t>(Cell(s.m_y, m_minY)) * m_columns + Cell(s.m_x, m_minX);
    }

    const std::vector<Star>& m_stars;
    double m_cell;
    size_t m_count = 0;
    double m_minX = 0.0, m_minY = 0.0;
    int m_columns = 0, m_rows = 0;
    std::vector<int> m_first;
    std::vector<int> m_members;
};

// Reference stars paired with the nearest frame star the move brings them
// to within tolerance; a frame star claimed twice keeps its nearer partner.
std::vector<PointPair> PairStars(const std::vector<Star>& reference, size_t count, const StarGrid& grid,
                                 size_t frameCount, const Similarity& move, double tolerance,
                                 const std::vector<Star>& frame)
{
    std::vector<int> partner(frameCount, -1);
    std::vector<double> partnerDistance(frameCount, 0.0);
    for (size_t i = 0; i < std::min(count, reference.size()); ++i) {
        double u = 0.0, v = 0.0;
        move.Apply(reference[i].m_x, reference[i].m_y, u, v);
        const int f = grid.Nearest(u, v, tolerance);
        if (f < 0)
            continue;
        const double d = std::hypot(frame[f].m_x - u, frame[f].m_y - v);
        if (partner[f] < 0 || d < partnerDistance[f]) {
            partner[f] = static_cast<int>(i);
            partnerDistance[f] = d;
        }
    }
    std::vector<PointPair> pairs;
    for (size_t f = 0; f < frameCount; ++f)
        if (partner[f] >= 0) {
            const Star& r = reference[partner[f]];
            pairs.push_back({r.m_x, r.m_y, frame[f].m_x, frame[f].m_y, 1.0 / (1.0 / r.m_weight + 1.0 / frame[f].m_weight)});
        }
    return pairs;
}

int CountAgreeing(const std::vector<Star>& reference, size_t count, const StarGrid& grid, const Similarity& move)
{
    int agreeing = 0;
    for (size_t i = 0; i < std::min(count, reference.size()); ++i) {
        double u = 0.0, v = 0.0;
        move.Apply(reference[i].m_x, reference[i].m_y, u, v);
        agreeing += grid.Nearest(u, v, kCandidateTolerance) >= 0;
    }
    return agreeing;
}

// The candidate move most of the brightest stars agree with; 0 agreeing
// when no triangle pair gives a plausible one.
int FindCandidate(const std::vector<Star>& reference, const std::vector<Star>& frame, Similarity& best)
{
    const std::vector<Triangle> refTriangles = BuildTriangles(reference);
    const std::vector<Triangle> frameTriangles = BuildTriangles(frame);
    const StarGrid grid(frame, kCheckStars * 2, kCandidateTolerance);
    // At most every checked reference star can agree, and no more than the frame has.
    const size_t checkable = std::min({reference.size(), kCheckStars, frame.size()});
    const int enough = std::max(static_cast<int>(kGoodEnough * static_cast<double>(checkable)), kMinMatched);
    int bestAgreeing = 0;
    for (const Triangle& rt : refTriangles) {
        auto it = std::lower_bound(frameTriangles.begin(), frameTriangles.end(), rt.m_r1 - kInvariantTolerance,
                                   [](const Triangle& t, float r1) { return t.m_r1 < r1; });
        for (; it != frameTriangles.end() && it->m_r1 <= rt.m_r1 + kInvariantTolerance; ++it) {
            if (std::fabs(it->m_r2 - rt.m_r2) > kInvariantTolerance || it->m_ccw != rt.m_ccw)
                continue;
            std::vector<PointPair> pairs;
            for (int v = 0; v < 3; ++v) {
                const Star &r = reference[rt.m_v[v]], &f = frame[it->m_v[v]];
                pairs.push_back({r.m_x, r.m_y, f.m_x, f.m_y});
            }
            Similarity move;
            if (!FitSimilarity(pairs, move))
                continue;
            const double scale = std::hypot(move.m_a, move.m_b);
            if (scale < kMinScale || scale > kMaxScale)
                continue;
            const int agreeing = CountAgreeing(reference, kCheckStars, grid, move);
            if (agreeing > bestAgreeing) {
                bestAgreeing = agreeing;
                best = move;
                if (bestAgreeing >= enough)
                    return bestAgreeing;
            }
        }
    }
    return bestAgreeing;
}

}  // namespace

bool MatchStars(const std::vector<Star>& reference, const std::vector<Star>& frame, StarMatch& match,
                std::string& reason)
{
    if (reference.size() < static_cast<size_t>(kMinMatched) || frame.size() < static_cast<size_t>(kMinMatched)) {
        reason = "too few stars (" + std::to_string(frame.size()) + " found, " + std::to_string(reference.size()) +
                 " in the reference; " + std::to_string(kMinMatched) + " needed)";
        return false;
    }
    Similarity move;
    if (FindCandidate(reference, frame, move) < kMinMatched) {
        reason = "no consistent match with the reference stars";
        return false;
    }
    const size_t frameCount = std::min(frame.size(), kRefineStars * 2);
    const StarGrid grid(frame, frameCount, kFirstRefineTolerance);
    std::vector<PointPair> pairs;
    double tolerance = kFirstRefineTolerance;
    for (int round = 0; round < kRefineRounds; ++round) {
        pairs = PairStars(reference, kRefineStars, grid, frameCount, move, tolerance, frame);
        if (static_cast<int>(pairs.size()) < kMinMatched || !FitSimilarity(pairs, move)) {
            reason = "no consistent match with the reference stars";
            return false;
        }
        // Pairs far beyond the scatter are blends or a cosmic ray beside a star.
        tolerance = std::clamp(3.0 * ResidualRms(pairs, move), kMinRefineTolerance, kFirstRefineTolerance / 2.0);
    }
    match.m_move = move;
    match.m_matched = static_cast<int>(pairs.size());
    match.m_rmsPx = ResidualRms(pairs, move);
    return true;
}
