// SPDX-License-Identifier: GPL-3.0-or-later
// Painting into an SVG document. Built with Qt SVG's generator where the
// build has Qt SVG, and as a refusal where it does not (Qt for Windows built
// without it), so that the probe says so before a run rather than after.
#pragma once

#include <QByteArray>
#include <QSize>

#include <functional>

class QPainter;

// Whether this build can write SVG at all.
bool svgPagesBuilt();

// An SVG document `size` pixels wide and high holding what `draw` paints;
// empty when this build has no SVG.
QByteArray paintSvgPage(QSize size, const std::function<void(QPainter&)>& draw);
