#pragma once
// Dialog-unit geometry as the Windows dialog manager computes it: one
// horizontal unit is a quarter of the dialog font's average character width,
// one vertical unit an eighth of its character height.

#include <QFont>
#include <QRect>

// The 8-point face of the desktop's own font, which the templates ask for.
QFont DialogFont();
// x, y, width, height in dialog units to pixels for font.
QRect MapDialogRect(const QFont& font, int x, int y, int width, int height);
