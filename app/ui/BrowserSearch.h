#pragma once

#include <QObject>

#include <functional>
#include <memory>
#include <string>

class QComboBox;
class QLineEdit;

namespace norvane {

class AppDataManager;
class FileBrowser;

// The search field over the browser. The folder searched is fixed at the first keystroke of a
// search (the folder of the last column then) and kept while the keyword changes; the results,
// by name or by author as the kind says, take the place of the root's children in the first
// column. An answer that comes after a newer keystroke, or after the field was emptied, is
// dropped. An empty field lists the root again.
class BrowserSearch : public QObject {
    Q_OBJECT
public:
    BrowserSearch(std::shared_ptr<AppDataManager> manager, FileBrowser* browser, QLineEdit* field, QComboBox* kind,
        std::function<void(bool busy)> busy, QObject* parent = nullptr);

    // Empties the field without listing anything (a new root is being chosen), and forgets the
    // searched folder and any answer still on its way.
    void clear();
    // The key of the folder the running search covers; empty between searches.
    const std::string& searchedFolder() const { return searchUK_; }

private:
    void keywordChanged();

    std::shared_ptr<AppDataManager> manager_;
    FileBrowser* browser_;
    QLineEdit* field_;
    QComboBox* kind_;
    std::function<void(bool)> busy_;
    std::string searchUK_;
    unsigned serial_ = 0;
};

} // namespace norvane
