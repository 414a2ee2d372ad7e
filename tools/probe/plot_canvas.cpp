// SPDX-License-Identifier: GPL-3.0-or-later
// Raster and SVG canvases.
#include "plot_canvas.h"

#include <QFont>
#include <QFontMetricsF>
#include <QPainterPath>
#include <QPen>

namespace {

QFont plotFont(qreal pixelSize, bool bold)
{
    QFont font;
    font.setFamilies(QString::fromLatin1(kPlotFontFamilies).split(QStringLiteral(", ")));
    font.setPixelSize(std::max(1, qRound(pixelSize)));
    font.setBold(bold);
    return font;
}

QString number(qreal value)
{
    return QString::number(value, 'f', 2);
}

QString svgColor(const QColor& color)
{
    return color.name(QColor::HexRgb);
}

QString svgOpacity(const QColor& color)
{
    return color.alpha() == 255 ? QString()
                                : QStringLiteral(" fill-opacity=\"%1\"").arg(color.alphaF(), 0, 'f', 3);
}

QString points(const QVector<QPointF>& list)
{
    QString text;
    for (const QPointF& p : list) {
        if (!text.isEmpty())
            text += u' ';
        text += number(p.x()) + u',' + number(p.y());
    }
    return text;
}

} // namespace

RasterCanvas::RasterCanvas(QSize size)
    : m_image(size, QImage::Format_ARGB32_Premultiplied)
{
    m_image.fill(Qt::white);
    m_painter.begin(&m_image);
    m_painter.setRenderHint(QPainter::Antialiasing);
    m_painter.setRenderHint(QPainter::TextAntialiasing);
}

RasterCanvas::~RasterCanvas()
{
    finish();
}

void RasterCanvas::finish()
{
    if (m_painter.isActive())
        m_painter.end();
}

void RasterCanvas::fillRect(const QRectF& rect, const QColor& color)
{
    m_painter.fillRect(rect, color);
}

void RasterCanvas::line(QPointF from, QPointF to, const QColor& color, qreal width, bool dashed)
{
    QPen pen(color, width);
    pen.setCapStyle(Qt::FlatCap);
    if (dashed)
        pen.setStyle(Qt::DashLine);
    m_painter.setPen(pen);
    m_painter.drawLine(from, to);
}

void RasterCanvas::polyline(const QVector<QPointF>& points, const QColor& color, qreal width)
{
    QPen pen(color, width);
    pen.setJoinStyle(Qt::RoundJoin);
    m_painter.setPen(pen);
    m_painter.setBrush(Qt::NoBrush);
    m_painter.drawPolyline(points.constData(), static_cast<int>(points.size()));
}

void RasterCanvas::polygon(const QVector<QPointF>& points, const QColor& fill)
{
    m_painter.setPen(Qt::NoPen);
    m_painter.setBrush(fill);
    m_painter.drawPolygon(points.constData(), static_cast<int>(points.size()));
}

void RasterCanvas::text(QPointF at, const QString& text, qreal pixelSize, Align align, const QColor& color,
                        bool bold, bool vertical)
{
    const QFont font = plotFont(pixelSize, bold);
    const qreal width = QFontMetricsF(font).horizontalAdvance(text);
    qreal dx = 0;
    if (align == Align::Center)
        dx = -width / 2;
    else if (align == Align::Right)
        dx = -width;
    m_painter.save();
    m_painter.setFont(font);
    m_painter.setPen(color);
    m_painter.translate(at);
    if (vertical)
        m_painter.rotate(-90);
    m_painter.drawText(QPointF(dx, 0), text);
    m_painter.restore();
}

SvgCanvas::SvgCanvas(QSize size)
    : m_size(size)
{
    fillRect(QRectF(0, 0, size.width(), size.height()), Qt::white);
}

QByteArray SvgCanvas::document() const
{
    const QString head = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                        "<svg xmlns=\"http://www.w3.org/2000/svg\" version=\"1.1\" "
                                        "width=\"%1\" height=\"%2\" viewBox=\"0 0 %1 %2\" "
                                        "font-family=\"%3\">\n")
                             .arg(QString::number(m_size.width()), QString::number(m_size.height()),
                                  QLatin1String(kPlotFontFamilies));
    return (head + m_body + QStringLiteral("</svg>\n")).toUtf8();
}

void SvgCanvas::fillRect(const QRectF& rect, const QColor& color)
{
    m_body += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"%4\" fill=\"%5\"%6/>\n")
                  .arg(number(rect.x()), number(rect.y()), number(rect.width()), number(rect.height()),
                       svgColor(color), svgOpacity(color));
}

void SvgCanvas::line(QPointF from, QPointF to, const QColor& color, qreal width, bool dashed)
{
    m_body +=
        QStringLiteral(
            "<line x1=\"%1\" y1=\"%2\" x2=\"%3\" y2=\"%4\" stroke=\"%5\" stroke-width=\"%6\"%7/>\n")
            .arg(number(from.x()), number(from.y()), number(to.x()), number(to.y()), svgColor(color),
                 number(width),
                 dashed ? QStringLiteral(" stroke-dasharray=\"%1 %1\"").arg(number(width * 4)) : QString());
}

void SvgCanvas::polyline(const QVector<QPointF>& list, const QColor& color, qreal width)
{
    m_body += QStringLiteral("<polyline points=\"%1\" fill=\"none\" stroke=\"%2\" stroke-width=\"%3\" "
                             "stroke-linejoin=\"round\"/>\n")
                  .arg(points(list), svgColor(color), number(width));
}

void SvgCanvas::polygon(const QVector<QPointF>& list, const QColor& fill)
{
    m_body += QStringLiteral("<polygon points=\"%1\" fill=\"%2\"%3/>\n")
                  .arg(points(list), svgColor(fill), svgOpacity(fill));
}

void SvgCanvas::text(QPointF at, const QString& text, qreal pixelSize, Align align, const QColor& color,
                     bool bold, bool vertical)
{
    const char* anchor = align == Align::Left ? "start" : align == Align::Center ? "middle" : "end";
    const QString rotate = vertical
        ? QStringLiteral(" transform=\"rotate(-90 %1 %2)\"").arg(number(at.x()), number(at.y()))
        : QString();
    m_body +=
        QStringLiteral(
            "<text x=\"%1\" y=\"%2\" font-size=\"%3\" text-anchor=\"%4\" fill=\"%5\"%6%7>%8</text>\n")
            .arg(number(at.x()), number(at.y()), number(pixelSize), QLatin1String(anchor), svgColor(color),
                 bold ? QStringLiteral(" font-weight=\"bold\"") : QString(), rotate, text.toHtmlEscaped());
}
