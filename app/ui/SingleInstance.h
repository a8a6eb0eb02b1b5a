#pragma once

#include <QObject>
#include <QString>

#include <memory>

class QLocalServer;
class QLockFile;

namespace norvane {

// One desktop client per home: the first process on a home listens on a local socket named
// after that home; a later one finds it, asks it to come to the front and ends. A lock file in
// the home tells the first from a later one even when both start at the same moment, and lets a
// new first process take over the socket name a crashed one left behind.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    explicit SingleInstance(QString home, QObject* parent = nullptr);
    ~SingleInstance() override;

    enum class Role {
        First, // this process serves the home; activated() reports later starts
        Forwarded, // another process serves it and was asked to come to the front
        Unavailable, // neither: the lock or the socket could not be had (the process goes on alone)
    };
    Role claim();

    // The local socket's name for a home.
    static QString serverName(const QString& home);

signals:
    // Another start on this home asked this process to come to the front.
    void activated();

private:
    bool forward() const;

    QString home_;
    std::unique_ptr<QLockFile> lock_;
    QLocalServer* server_ = nullptr;
};

} // namespace norvane
