#pragma once

#include "app/state/AppDataManager.h"

#include <QGroupBox>
#include <QList>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>

class QButtonGroup;
class QLineEdit;
class QRadioButton;

namespace norvane {

class ConfigInfo;

// Whether the windows show the server and login-server boxes. The product ships with them hidden:
// the addresses come with the installation, and the proxy boxes take their place.
inline constexpr bool kShowServerSettings = false;

// The server and login-server boxes of the network forms.
class ServerSettingsFields : public QObject {
    Q_OBJECT
public:
    explicit ServerSettingsFields(QWidget* parent);

    QGroupBox* serverBox() const { return serverBox_; }
    QGroupBox* loginServerBox() const { return loginServerBox_; }
    QList<QLineEdit*> lineEdits() const;

    void fill(const ConfigInfo& config);
    // Addresses as typed, ports as their integer value (0 when empty or not a number).
    void store(ConfigInfo& config) const;

private:
    QGroupBox* serverBox_;
    QGroupBox* loginServerBox_;
    QLineEdit* serverAddress_;
    QLineEdit* serverPort_;
    QLineEdit* loginServerAddress_;
    QLineEdit* loginServerPort_;
};

// The proxy choice (row 0 none, row 1 by hand, row 2 the system's) and the four proxy fields,
// which only row 1 enables; leaving row 1 empties them.
class ProxySettingsFields : public QObject {
    Q_OBJECT
public:
    enum Row { NoProxy = 0, ManualProxy = 1, SystemProxy = 2 };

    explicit ProxySettingsFields(QWidget* parent);

    QGroupBox* choiceBox() const { return choiceBox_; }
    QGroupBox* serverBox() const { return serverBox_; }
    QList<QLineEdit*> lineEdits() const;
    QRadioButton* rowButton(int row) const;

    int row() const;
    void setRow(int row);
    // Row 1 with the stored proxy when the settings use one, else row 0 with empty fields.
    void fill(const ConfigInfo& config);
    // The choice into the settings (not saved). Row 2 takes `system`, the system's proxy: what it
    // found replaces the stored value, what it did not find keeps it.
    void store(ConfigInfo& config, const DetectedProxy& system = {}) const;

private:
    void changeProxySetting(int row);

    QGroupBox* choiceBox_;
    QGroupBox* serverBox_;
    QButtonGroup* rows_;
    QLineEdit* address_;
    QLineEdit* port_;
    QLineEdit* user_;
    QLineEdit* password_;
};

// The system's proxy for the storage server: the secure one, and when the system names none, the
// plain one. Runs `detect` on a worker, since the system's settings and the credential store can
// take seconds, and hands the answer to `done` on the GUI thread, unless `context` is gone by then.
using SystemProxyDetector = std::function<DetectedProxy()>;
SystemProxyDetector systemProxyDetector(std::shared_ptr<AppDataManager> manager);
void detectSystemProxy(const SystemProxyDetector& detect, QObject* context, std::function<void(DetectedProxy)> done);

// Commits what the boxes hold: into the settings, saved, and a command service rebuilt from them;
// then `done` runs. With the system's proxy chosen the system is asked first (detectSystemProxy)
// while `form` waits disabled; a second commit meanwhile is ignored.
void commitNetworkSettings(AppDataManager& manager, const ServerSettingsFields& servers,
    const ProxySettingsFields& proxy, const SystemProxyDetector& detect, QWidget* form, std::function<void()> done);

} // namespace norvane
