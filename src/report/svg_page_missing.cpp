// SPDX-License-Identifier: GPL-3.0-or-later
// SVG pages in a build without Qt SVG: none.
#include "svg_page.h"

bool svgPagesBuilt()
{
    return false;
}

QByteArray paintSvgPage(QSize, const std::function<void(QPainter&)>&)
{
    return {};
}
