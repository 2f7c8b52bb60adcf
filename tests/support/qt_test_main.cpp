// Test main for everything that needs a QApplication. Without a display the
// tests run on Qt's offscreen platform, which still renders real text.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QStandardPaths>
#include <cstdlib>

int main(int argc, char** argv) {
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  if (std::getenv("XDG_RUNTIME_DIR") == nullptr) {
    QByteArray dir = QDir::tempPath().toUtf8() + "/korrin-test-runtime";
    QDir().mkpath(QString::fromUtf8(dir));
    QFile::setPermissions(QString::fromUtf8(dir), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    setenv("XDG_RUNTIME_DIR", dir.constData(), 1);
  }
  QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
