// norvane-screenshots: renders the desktop windows into PNG files, for a person to look at how
// they come out (scripts/screenshot runs it at 1x and 2x, in English and Japanese).
//
//   norvane-screenshots OUTPUT-FOLDER SUFFIX
//
// Runs on any Qt platform (offscreen will do); the home is a temporary folder of its own.

#include "app/ui/AppDelegate.h"
#include "app/ui/DeviceIDWindowController.h"
#include "app/ui/FileWindowController.h"
#include "app/ui/LoginWindowController.h"
#include "app/ui/QtAlertPresenter.h"
#include "app/ui/ServerTrust.h"
#include "app/ui/SettingWindowController.h"

#include <QApplication>
#include <QDir>
#include <QMainWindow>
#include <QMessageBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QWidget>

#include <cstdio>
#include <cstdlib>

using namespace norvane;

namespace {

QString outputDir;
QString suffix;
int failures = 0;

void settle()
{
    for (int i = 0; i < 5; ++i)
        QApplication::processEvents();
}

void save(QWidget* window, const QString& name)
{
    settle();
    const QString path = QDir(outputDir).filePath(name + QStringLiteral("-") + suffix + QStringLiteral(".png"));
    if (!window->grab().save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        ++failures;
        return;
    }
    std::printf("%s\n", qPrintable(path));
}

} // namespace

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: norvane-screenshots OUTPUT-FOLDER SUFFIX\n");
        return 2;
    }
    outputDir = QString::fromLocal8Bit(argv[1]);
    suffix = QString::fromLocal8Bit(argv[2]);
    QDir().mkpath(outputDir);
    QTemporaryDir home;
    ::setenv("NORVANE_HOME", qPrintable(home.path()), 1);
    QApplication::setApplicationDisplayName(QStringLiteral("Norvane"));
    AppDelegate::installQtTranslations();

    AppDelegate::Options options;
    options.alerts = std::make_shared<RecordingAlertPresenter>();
    options.quit = [] {};
    options.manager.watchReachability = false;
    AppDelegate app(options);
    ConfigInfo& config = app.manager()->configDefine();
    config.setServerIP("storage.example.com");
    config.setServerPort(443);
    config.setLoginServerIP("storage.example.com");
    config.setLoginServerPort(443);
    config.setSaveLoginInfo(1);
    config.setCompanyCode("demo");
    config.setUserName("manager");
    config.setFullName("Demo Manager");
    config.setDeviceID("dc09A4F1C2E07B3D59A8E6F10C2B7D4E93A1");
    config.setUsedSpaceSize("1288490188");
    config.setSpaceSize("5368709120");
    config.save();
    app.applicationDidFinishLaunching();

    LoginWindowController& login = app.loginWindow();
    save(login.loginWindow(), QStringLiteral("login"));

    login.doSetting();
    login.proxyFields().setRow(ProxySettingsFields::ManualProxy);
    save(login.netSettingWindow(), QStringLiteral("network"));
    login.netSettingCancel();

    login.loginWindow()->hide();
    login.loadingWindow()->show();
    save(login.loadingWindow(), QStringLiteral("loading"));
    login.loadingWindow()->hide();

    PresentedCertificate certificate;
    certificate.publicKeyPin = "sha256//n4bQgYhMfWWaL+qgxVrQFaO/TxsrC4Is0V1sFbDwCgg=";
    certificate.subject = "CN=storage.example.com,O=Example Corporation";
    certificate.issuer = "CN=storage.example.com,O=Example Corporation";
    certificate.validFrom = "2025-01-01 00:00:00 UTC";
    certificate.validUntil = "2026-01-01 00:00:00 UTC";
    certificate.untrustedReason = "self-signed certificate";
    TrustPrompt prompt("storage.example.com:443", certificate);
    prompt.show();
    save(&prompt, QStringLiteral("trust"));
    prompt.hide();

    FileWindowController& files = app.fileWindow();
    files.showWindow();
    save(files.window(), QStringLiteral("file-window"));

    SettingWindowController* settings = app.openSettings(false);
    const char* tabNames[] = { "settings-network", "settings-device", "settings-password", "settings-other" };
    for (int i = 0; i < settings->tabs()->count() && i < 4; ++i) {
        settings->tabs()->setCurrentIndex(i);
        save(settings->window(), QString::fromLatin1(tabNames[i]));
    }
    settings->window()->hide();
    settle();

    SettingWindowController* deviceOnly = app.openSettings(true);
    save(deviceOnly->window(), QStringLiteral("settings-device-only"));
    deviceOnly->window()->hide();
    settle();

    app.deviceWindow().showWindow();
    save(app.deviceWindow().window(), QStringLiteral("device-id"));
    app.deviceWindow().window()->hide();

    Alert alert;
    alert.kind = Alert::Kind::Ask;
    alert.messageKey = "need_relogin";
    alert.buttonKeys = { "word_sign_out", "alert_cancel" };
    QMessageBox* box = QtAlertPresenter::makeBox(alert, nullptr);
    box->show();
    save(box, QStringLiteral("alert"));
    delete box;

    return failures == 0 ? 0 : 1;
}
