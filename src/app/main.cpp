// Starts the tool: one window, the event loop, nothing else.
#include "ui/form_main.h"

#include <QApplication>
#include <QFont>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    // A compact sans-serif face, so every caption fits the fixed layout.
    QApplication::setFont(QFont(QStringLiteral("DejaVu Sans"), 8));
    FormMain window;
    window.show();
    return QApplication::exec();
}
