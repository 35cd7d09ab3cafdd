#include "app/CSpinButton.h"

#include <algorithm>

#include <QLineEdit>
#include <QToolButton>
#include <QVBoxLayout>

CSpinButton::CSpinButton(QLineEdit* buddy, QWidget* parent) : QWidget(parent), m_buddy(buddy)
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    for (const Qt::ArrowType arrow : {Qt::UpArrow, Qt::DownArrow}) {
        auto* button = new QToolButton(this);
        button->setArrowType(arrow);
        button->setAutoRepeat(true);
        button->setFocusPolicy(Qt::NoFocus);
        button->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
        layout->addWidget(button);
        const int delta = arrow == Qt::UpArrow ? 1 : -1;
        connect(button, &QToolButton::clicked, this, [this, delta] { Step(delta); });
    }
}

void CSpinButton::SetRange(int lower, int upper)
{
    m_lower = lower;
    m_upper = upper;
}

void CSpinButton::SetPos(int pos)
{
    m_pos = std::clamp(pos, m_lower, m_upper);
    m_buddy->setText(QString::number(m_pos));
}

int CSpinButton::GetPos() const
{
    bool ok = false;
    const int typed = m_buddy->text().toInt(&ok);
    return ok && typed >= m_lower && typed <= m_upper ? typed : m_pos;
}

void CSpinButton::Step(int delta)
{
    const int pos = GetPos();
    const int next = std::clamp(pos + delta, m_lower, m_upper);
    if (next == pos)
        return;
    emit deltaPos(pos, next - pos);
    SetPos(next);
}
