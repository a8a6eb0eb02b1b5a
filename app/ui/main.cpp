// norvane: the desktop client.

#include "app/ui/AppDelegate.h"
#include "app/ui/SingleInstance.h"
#include "platform/Log.h"
#include "platform/Paths.h"

#include <QApplication>

#include <exception>

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("norvane"));
    QApplication::setApplicationDisplayName(QStringLiteral("Norvane"));

    // One desktop client per home: a second start brings the first one to the front.
    norvane::SingleInstance instance(QString::fromStdString(norvane::Paths::applicationDataDirectory()));
    if (instance.claim() == norvane::SingleInstance::Role::Forwarded)
        return 0;

    try {
        norvane::AppDelegate::installQtTranslations();
        norvane::AppDelegate delegate;
        QObject::connect(&instance, &norvane::SingleInstance::activated, &delegate,
            &norvane::AppDelegate::applicationShouldHandleReopen);
        delegate.applicationDidFinishLaunching();
        return QApplication::exec();
    } catch (const std::exception& exception) {
        norvane::Log::line(std::string("norvane: ended by an exception: ") + exception.what());
    } catch (...) {
        norvane::Log::line("norvane: ended by an unexpected exception");
    }
    return 1;
}
