#pragma once
// The move of a frame against the reference: a similarity transform (shift,
// rotation, uniform scale) from a reference pixel to the same sky point in
// the frame, x' = a*x - b*y + tx, y' = b*x + a*y + ty, with x the column and
// y the row of the file's data, pixel centres at whole numbers.

#include <vector>

struct Similarity {
    double m_a = 1.0;
    double m_b = 0.0;
    double m_tx = 0.0;
    double m_ty = 0.0;

    void Apply(double x, double y, double& xOut, double& yOut) const
    {
        xOut = m_a * x - m_b * y + m_tx;
        yOut = m_b * x + m_a * y + m_ty;
    }
    // The move back from the frame to the reference.
    Similarity Inverse() const;
    bool IsIdentity() const { return m_a == 1.0 && m_b == 0.0 && m_tx == 0.0 && m_ty == 0.0; }
};

// The same move told around the image centre cx = (W-1)/2, cy = (H-1)/2:
// x' = cx + dx + s*(cos a*(x-cx) - sin a*(y-cy)),
// y' = cy + dy + s*(sin a*(x-cx) + cos a*(y-cy)).
struct FrameMove {
    double m_dx = 0.0;
    double m_dy = 0.0;
    double m_angleDeg = 0.0;
    double m_scale = 1.0;
};

FrameMove ToFrameMove(const Similarity& move, int width, int height);
Similarity FromFrameMove(const FrameMove& move, int width, int height);

struct PointPair {
    double m_x, m_y;  // in the reference
    double m_u, m_v;  // in the frame
    double m_weight = 1.0;
};

// Weighted least-squares similarity of at least two pairs with distinct reference
// points; false (move untouched) when they do not determine one.
bool FitSimilarity(const std::vector<PointPair>& pairs, Similarity& move);
// Root mean square distance between the moved reference points and theirs.
double ResidualRms(const std::vector<PointPair>& pairs, const Similarity& move);
