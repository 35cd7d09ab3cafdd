#include "align/Similarity.h"

#include <cmath>

namespace {

constexpr double kPi = 3.14159265358979323846;

}  // namespace

Similarity Similarity::Inverse() const
{
    const double norm = m_a * m_a + m_b * m_b;
    Similarity inverse;
    inverse.m_a = m_a / norm;
    inverse.m_b = -m_b / norm;
    inverse.m_tx = -(inverse.m_a * m_tx - inverse.m_b * m_ty);
    inverse.m_ty = -(inverse.m_b * m_tx + inverse.m_a * m_ty);
    return inverse;
}

FrameMove ToFrameMove(const Similarity& move, int width, int height)
{
    const double cx = (width - 1) * 0.5, cy = (height - 1) * 0.5;
    double x = 0.0, y = 0.0;
    move.Apply(cx, cy, x, y);
    return {x - cx, y - cy, std::atan2(move.m_b, move.m_a) * 180.0 / kPi, std::hypot(move.m_a, move.m_b)};
}

Similarity FromFrameMove(const FrameMove& move, int width, int height)
{
    const double cx = (width - 1) * 0.5, cy = (height - 1) * 0.5;
    const double angle = move.m_angleDeg * kPi / 180.0;
    Similarity s;
    s.m_a = move.m_scale * std::cos(angle);
    s.m_b = move.m_scale * std::sin(angle);
    s.m_tx = cx + move.m_dx - s.m_a * cx + s.m_b * cy;
    s.m_ty = cy + move.m_dy - s.m_b * cx - s.m_a * cy;
    return s;
}

bool FitSimilarity(const std::vector<PointPair>& pairs, Similarity& move)
{
    if (pairs.size() < 2)
        return false;
    double mx = 0.0, my = 0.0, mu = 0.0, mv = 0.0, n = 0.0;
    for (const PointPair& p : pairs) {
        mx += p.m_weight * p.m_x;
        my += p.m_weight * p.m_y;
        mu += p.m_weight * p.m_u;
        mv += p.m_weight * p.m_v;
        n += p.m_weight;
    }
    if (!(n > 0.0))
        return false;
    mx /= n;
    my /= n;
    mu /= n;
    mv /= n;
    double spread = 0.0, sa = 0.0, sb = 0.0;
    for (const PointPair& p : pairs) {
        const double x = p.m_x - mx, y = p.m_y - my, u = p.m_u - mu, v = p.m_v - mv;
        spread += p.m_weight * (x * x + y * y);
        sa += p.m_weight * (x * u + y * v);
        sb += p.m_weight * (x * v - y * u);
    }
    if (!(spread > 1e-9))
        return false;
    move.m_a = sa / spread;
    move.m_b = sb / spread;
    move.m_tx = mu - move.m_a * mx + move.m_b * my;
    move.m_ty = mv - move.m_b * mx - move.m_a * my;
    return true;
}

double ResidualRms(const std::vector<PointPair>& pairs, const Similarity& move)
{
    if (pairs.empty())
        return 0.0;
    double sum = 0.0;
    for (const PointPair& p : pairs) {
        double u = 0.0, v = 0.0;
        move.Apply(p.m_x, p.m_y, u, v);
        sum += (u - p.m_u) * (u - p.m_u) + (v - p.m_v) * (v - p.m_v);
    }
    return std::sqrt(sum / static_cast<double>(pairs.size()));
}
