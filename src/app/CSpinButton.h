#pragma once
// An up-down control beside a buddy edit box: it reads its position from the
// buddy's number, reports each step before it takes effect and writes the new
// position back into the buddy. Steps that would leave the range are not made.

#include <QWidget>

class QLineEdit;

class CSpinButton : public QWidget {
    Q_OBJECT
public:
    CSpinButton(QLineEdit* buddy, QWidget* parent);

    void SetRange(int lower, int upper);
    // Clamped to the range; writes the number into the buddy.
    void SetPos(int pos);
    // The buddy's number when it is one within the range, else the last position set.
    int GetPos() const;
    // One click of an arrow: +1 up, -1 down.
    void Step(int delta);

signals:
    // Position before the step and the step itself (UDN_DELTAPOS).
    void deltaPos(int pos, int delta);

private:
    QLineEdit* m_buddy;
    int m_lower = 0;
    int m_upper = 100;
    int m_pos = 0;
};
