// Runs one test class of the desktop windows: `ui_tests ClassName [Qt Test arguments]`; without
// a class name, every class in turn.

#include "app/ui/UiTestSupport.h"

#include <QApplication>
#include <QTest>

#include <cstdio>
#include <cstring>

namespace norvane::uitest {

std::vector<TestClass>& testClasses()
{
    static std::vector<TestClass> classes;
    return classes;
}

} // namespace norvane::uitest

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QApplication::setApplicationDisplayName(QStringLiteral("Norvane"));
    std::vector<char*> arguments(argv, argv + argc);
    const char* wanted = nullptr;
    if (arguments.size() > 1 && arguments[1][0] != '-') {
        wanted = arguments[1];
        arguments.erase(arguments.begin() + 1);
    }
    int failed = 0;
    bool found = false;
    for (const auto& entry : norvane::uitest::testClasses()) {
        if (wanted && std::strcmp(wanted, entry.name) != 0)
            continue;
        found = true;
        std::unique_ptr<QObject> test = entry.make();
        failed += QTest::qExec(test.get(), static_cast<int>(arguments.size()), arguments.data());
    }
    if (!found) {
        std::fprintf(stderr, "no test class %s\n", wanted);
        return 2;
    }
    return failed == 0 ? 0 : 1;
}
