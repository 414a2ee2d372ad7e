// SPDX-License-Identifier: GPL-3.0-or-later
// SVG pages through Qt SVG's generator.
#include "svg_page.h"

#include <QBuffer>
#include <QPainter>
#include <QRegularExpression>
#include <QSvgGenerator>

bool svgPagesBuilt()
{
    return true;
}

QByteArray paintSvgPage(QSize size, const std::function<void(QPainter&)>& draw)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QSvgGenerator generator;
    generator.setOutputDevice(&buffer);
    generator.setSize(size);
    generator.setViewBox(QRect(QPoint(0, 0), size));
    // No <title>: Qt 6.4 writes it unescaped, and a host name may hold '<' or '&'.
    QPainter painter(&generator);
    draw(painter);
    painter.end();
    // The size in pixels, as asked for, rather than in millimetres.
    static const QRegularExpression physical(QStringLiteral("width=\"[^\"]*\" height=\"[^\"]*\""));
    QString text = QString::fromUtf8(bytes);
    const QRegularExpressionMatch match = physical.match(text);
    return text
        .replace(match.capturedStart(), match.capturedLength(),
                 QStringLiteral("width=\"%1\" height=\"%2\"").arg(size.width()).arg(size.height()))
        .toUtf8();
}
