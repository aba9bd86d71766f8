#include "Model/SCSlotModel.h"

#include <gtest/gtest.h>

#include "Model/CardSessionInfo.h"

namespace {

TEST(SCSlotModelTest, JsonFormAndDescription) {
    SCSlotModel named(std::string("Reader A"), 302);
    EXPECT_EQ(named.jsonDict(), (nlohmann::json{{"name", "Reader A"}, {"cardstatus", 302}}));
    EXPECT_EQ(named.description(), "slot: (null), name: Reader A, cardStatus:302");
    // An entry without a name has no JSON form; the list reply leaves it out.
    EXPECT_FALSE(SCSlotModel().jsonDict());
    EXPECT_FALSE(SCSlotModel(std::nullopt, 303).jsonDict());
}

TEST(CardSessionInfoTest, Description) {
    EXPECT_EQ(CardSessionInfo(nullptr, "Reader A", std::string("1234"), true).description(),
              "@CardSessionInfo [slot: Reader A, sessionId: 1234, opened: YES]");
    EXPECT_EQ(CardSessionInfo(nullptr, "Reader B", std::nullopt, false).description(),
              "@CardSessionInfo [slot: Reader B, sessionId: (null), opened: NO]");
}

}  // namespace
