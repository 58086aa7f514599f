// The udev rules installed with the programs: the user at the seat gets exactly the USB devices the
// updater opens, a device running its firmware (a product with an interface class) or in its
// bootloader (a product with a bootloader image name), and nothing else under the vendor id.
#include "MyLib/KelvoProducts.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

std::vector<std::string> RuleLines() {
    std::ifstream file(KELVO_UDEV_RULES_PATH);
    EXPECT_TRUE(file) << "cannot read " << KELVO_UDEV_RULES_PATH;
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        if (!line.empty() && line[0] != '#')
            lines.push_back(line);
    return lines;
}

std::set<unsigned> OpenedProductIds() {
    std::set<unsigned> ids;
    for (unsigned id = 0; id <= 0xFFFF; ++id)
        if (const TKelvoProduct* product = FindKelvoProduct(uint16_t(id)))
            if (product->InterfaceClass || !product->StubNames.empty())
                ids.insert(id);
    return ids;
}

} // namespace

TEST(UdevRules, EachLineGrantsOneProductOfTheVendorId) {
    const std::regex rule(R"re(SUBSYSTEM=="usb", ENV\{DEVTYPE\}=="usb_device", ATTR\{idVendor\}=="1209", )re"
                          R"re(ATTR\{idProduct\}=="[0-9a-f]{4}", TAG\+="uaccess")re");
    const std::vector<std::string> lines = RuleLines();
    ASSERT_FALSE(lines.empty());
    for (const std::string& line : lines)
        EXPECT_TRUE(std::regex_match(line, rule)) << line;
}

TEST(UdevRules, ProductIdsAreTheOnesTheUpdaterOpens) {
    const std::regex productId(R"re(ATTR\{idProduct\}=="([0-9a-f]{4})")re");
    std::multiset<unsigned> granted;
    for (const std::string& line : RuleLines()) {
        std::smatch match;
        if (std::regex_search(line, match, productId))
            granted.insert(unsigned(std::stoul(match[1], nullptr, 16)));
    }
    const std::set<unsigned> opened = OpenedProductIds();
    EXPECT_EQ(std::multiset<unsigned>(opened.begin(), opened.end()), granted);
}
