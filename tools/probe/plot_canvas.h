// SPDX-License-Identifier: GPL-3.0-or-later
// The few drawing operations a plot needs, onto a raster image (QPainter)
// or into an SVG document written by hand, so one drawing routine makes both.
#pragma once

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QPointF>
#include <QRectF>
#include <QString>
#include <QVector>

class PlotCanvas {
public:
    enum class Align { Left, Center, Right };

    virtual ~PlotCanvas() = default;
    virtual void fillRect(const QRectF& rect, const QColor& color) = 0;
    virtual void line(QPointF from, QPointF to, const QColor& color, qreal width, bool dashed = false) = 0;
    virtual void polyline(const QVector<QPointF>& points, const QColor& color, qreal width) = 0;
    virtual void polygon(const QVector<QPointF>& points, const QColor& fill) = 0;
    // `at` is on the baseline: the left end, middle or right end of the text
    // by `align`. Vertical text reads upwards and `at` is its baseline middle.
    virtual void text(QPointF at, const QString& text, qreal pixelSize, Align align, const QColor& color,
                      bool bold = false, bool vertical = false) = 0;
};

// Draws onto a white image of the given size. Text needs a QGuiApplication.
class RasterCanvas final : public PlotCanvas {
public:
    explicit RasterCanvas(QSize size);
    ~RasterCanvas() override;
    QImage& image() { return m_image; }
    // Ends painting; call before saving the image.
    void finish();

    void fillRect(const QRectF& rect, const QColor& color) override;
    void line(QPointF from, QPointF to, const QColor& color, qreal width, bool dashed) override;
    void polyline(const QVector<QPointF>& points, const QColor& color, qreal width) override;
    void polygon(const QVector<QPointF>& points, const QColor& fill) override;
    void text(QPointF at, const QString& text, qreal pixelSize, Align align, const QColor& color, bool bold,
              bool vertical) override;

private:
    QImage m_image;
    QPainter m_painter;
};

// Builds an SVG document with a white background.
class SvgCanvas final : public PlotCanvas {
public:
    explicit SvgCanvas(QSize size);
    // The whole document, closed.
    QByteArray document() const;

    void fillRect(const QRectF& rect, const QColor& color) override;
    void line(QPointF from, QPointF to, const QColor& color, qreal width, bool dashed) override;
    void polyline(const QVector<QPointF>& points, const QColor& color, qreal width) override;
    void polygon(const QVector<QPointF>& points, const QColor& fill) override;
    void text(QPointF at, const QString& text, qreal pixelSize, Align align, const QColor& color, bool bold,
              bool vertical) override;

private:
    QSize m_size;
    QString m_body;
};

// The font both canvases ask for; the package depends on Liberation.
inline constexpr char kPlotFontFamilies[] = "Liberation Sans, DejaVu Sans, Arial, sans-serif";
