// Starts the tool: one window, the event loop, nothing else.
#include "ui/form_main.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    FormMain window;
    window.show();
    return QApplication::exec();
}
