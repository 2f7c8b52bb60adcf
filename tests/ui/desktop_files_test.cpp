// The desktop entry, AppStream metainfo and icon files made at build time:
// they carry the program's version data and its own icon.
#include <gtest/gtest.h>

#include <QFile>
#include <QImage>
#include <QXmlStreamReader>
#include <map>

#include "ui/app_resources.h"
#include "ui/version_info.h"

namespace korrin::ui {
namespace {

const std::string kDir = KORRIN_DESKTOP_DIR;

std::map<std::string, std::string> DesktopEntry() {
  QFile file(QString::fromStdString(kDir + "/invalid.korrin_hid.korrin_hid.desktop"));
  std::map<std::string, std::string> keys;
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return keys;
  while (!file.atEnd()) {
    const QString line = QString::fromUtf8(file.readLine()).trimmed();
    const int eq = line.indexOf('=');
    if (eq > 0) keys[line.left(eq).toStdString()] = line.mid(eq + 1).toStdString();
  }
  return keys;
}

TEST(DesktopFiles, TheEntryCarriesTheVersionData) {
  auto keys = DesktopEntry();
  ASSERT_FALSE(keys.empty());
  EXPECT_EQ(keys["Type"], "Application");
  EXPECT_EQ(keys["Name"], Version().internalName);
  EXPECT_EQ(keys["Comment"], KORRIN_DESKTOP_SUMMARY);
  EXPECT_EQ(keys["Exec"], "korrin-hid");  // no arguments: the program takes none
  EXPECT_EQ(keys["Icon"], "korrin-hid");
  EXPECT_EQ(keys["X-Korrin-Version"], Version().dottedVersion);
}

TEST(DesktopFiles, TheMetainfoCarriesTheVersionData) {
  QFile file(QString::fromStdString(kDir + "/invalid.korrin_hid.korrin_hid.metainfo.xml"));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  QXmlStreamReader xml(&file);
  std::map<std::string, std::string> texts;
  std::string release;
  while (!xml.atEnd()) {
    if (xml.readNext() != QXmlStreamReader::StartElement) continue;
    const std::string name = xml.name().toString().toStdString();
    if (name == "release") {
      release = xml.attributes().value("version").toString().toStdString();
    } else if (name == "id" || name == "summary" || name == "launchable" || name == "name") {
      texts[name] = xml.readElementText().toStdString();
    }
  }
  ASSERT_FALSE(xml.hasError()) << xml.errorString().toStdString();
  EXPECT_EQ(release, Version().dottedVersion);
  EXPECT_EQ(texts["summary"], KORRIN_DESKTOP_SUMMARY);
  EXPECT_EQ(texts["name"], Version().internalName);
  EXPECT_EQ(texts["launchable"], texts["id"] + ".desktop");
}

class IconFileTest : public ::testing::TestWithParam<int> {};

TEST_P(IconFileTest, IsTheProgramsIconScaledWithoutSmoothing) {
  const int size = GetParam();
  const QImage image(QString::fromStdString(kDir + "/korrin-hid-" + std::to_string(size) + ".png"));
  ASSERT_FALSE(image.isNull());
  ASSERT_EQ(image.width(), size);
  ASSERT_EQ(image.height(), size);
  const window::Icon icon = DrawMainFrameIcon();
  const int scale = size / icon.width;
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      const std::uint32_t expected = icon.argb[static_cast<std::size_t>((y / scale) * icon.width + x / scale)];
      ASSERT_EQ(image.pixel(x, y), expected) << x << "," << y;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, IconFileTest, ::testing::Values(16, 32, 48, 64));

}  // namespace
}  // namespace korrin::ui
