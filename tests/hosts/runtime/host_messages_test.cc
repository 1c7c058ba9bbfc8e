// The message library's texts and the arguments it reads for each number.
#include <set>
#include <string>

#include "host_test_support.h"
#include "velmsgs.h"

namespace {

constexpr int32_t kNumberOnly[] = {11526, 11529, 11532, 11533, 11538, 11542, 11544, 11545, 11550};

bool TakesNumberOnly(int32_t msgnum) {
  for (int32_t n : kNumberOnly) {
    if (n == msgnum) return true;
  }
  return false;
}

class host_messages : public ::testing::Test {
 protected:
  velsrv::Host host_{velsrv::HostOptions{}};
};

// Routes a message the way the library raises it and returns what the
// router made of it.
velsrv::RoutedMessage RouteAsRaised(velsrv::Host& host, int32_t msgnum, const char* name,
                                    int32_t number) {
  host.ClearRecords();
  if (msgnum == 11518) {
    xp_srv_route_err(nullptr, msgnum, VEL_ROUTE_LOG, name);
  } else if (TakesNumberOnly(msgnum)) {
    xp_srv_route_err(nullptr, msgnum, VEL_ROUTE_LOG, number);
  } else {
    xp_srv_route_err(nullptr, msgnum, VEL_ROUTE_LOG, name, number);
  }
  std::vector<velsrv::RoutedMessage> routed = host.routed();
  return routed.size() == 1 ? routed[0] : velsrv::RoutedMessage{};
}

TEST_F(host_messages, EveryNumberHasItsOwnOneLineTextCarryingItsArguments) {
  std::set<std::string> texts;
  for (int32_t msgnum = 11517; msgnum <= 11551; ++msgnum) {
    SCOPED_TRACE(msgnum);
    const std::string name = "name" + std::to_string(msgnum);
    const int32_t number = 900000 + msgnum;
    velsrv::RoutedMessage routed = RouteAsRaised(host_, msgnum, name.c_str(), number);
    ASSERT_EQ(routed.msgnum, msgnum);
    EXPECT_EQ(routed.text.find('\n'), std::string::npos);
    EXPECT_EQ(routed.text.find('{'), std::string::npos);  // no placeholder left
    EXPECT_GT(routed.text.size(), 30u);
    if (msgnum == 11518) {
      EXPECT_EQ(routed.args, (std::vector<velsrv::RouteArg>{{true, name, 0}}));
      EXPECT_NE(routed.text.find(name), std::string::npos);
    } else if (TakesNumberOnly(msgnum)) {
      EXPECT_EQ(routed.args, (std::vector<velsrv::RouteArg>{{false, "", number}}));
      EXPECT_NE(routed.text.find(std::to_string(number)), std::string::npos);
    } else {
      EXPECT_EQ(routed.args, (std::vector<velsrv::RouteArg>{{true, name, 0}, {false, "", number}}));
      EXPECT_NE(routed.text.find(name), std::string::npos);
      EXPECT_NE(routed.text.find(std::to_string(number)), std::string::npos);
    }
    // Routing 1: the text went to the host log as well.
    EXPECT_EQ(host_.log(), std::vector<std::string>{routed.text});
    // With the arguments taken out, every number still reads differently.
    std::string bare = routed.text;
    for (const std::string& arg : {name, std::to_string(number)}) {
      for (size_t at = bare.find(arg); at != std::string::npos; at = bare.find(arg)) {
        bare.erase(at, arg.size());
      }
    }
    const std::string unused = "error " + std::to_string(msgnum);
    EXPECT_TRUE(texts.insert(bare).second || bare.find(unused) != std::string::npos);
  }
}

TEST_F(host_messages, FailedMailRequestPassesTheResultTextAsGiven) {
  velsrv::RoutedMessage routed =
      RouteAsRaised(host_, 11518, " A function parameter was invalid. ", 0);
  EXPECT_NE(routed.text.find(" A function parameter was invalid. "), std::string::npos);
}

TEST_F(host_messages, UnknownNumbersGetAGenericTextAndReadNoArguments) {
  xp_srv_route_err(nullptr, 4242, VEL_ROUTE_LOG);
  ASSERT_EQ(host_.routed().size(), 1u);
  const velsrv::RoutedMessage routed = host_.routed()[0];
  EXPECT_TRUE(routed.args.empty());
  EXPECT_NE(routed.text.find("4242"), std::string::npos);
}

TEST_F(host_messages, ANullTextArgumentIsShownNotFollowed) {
  xp_srv_route_err(nullptr, 11531, VEL_ROUTE_LOG, static_cast<const char*>(nullptr), 0);
  ASSERT_EQ(host_.routed().size(), 1u);
  EXPECT_NE(host_.routed()[0].text.find("(null)"), std::string::npos);
}

TEST_F(host_messages, RoutingDecidesWhereTheMessageGoes) {
  xp_srv_route_err(nullptr, 11544, 0, 0);
  EXPECT_EQ(host_.routed().size(), 1u);  // always recorded
  EXPECT_TRUE(host_.log().empty());      // bit 1 not set
  xp_srv_route_err(nullptr, 11544, VEL_ROUTE_CLIENT, 0);
  EXPECT_TRUE(host_.log().empty());
  xp_srv_route_err(nullptr, 11544, VEL_ROUTE_LOG | VEL_ROUTE_CLIENT, 0);
  EXPECT_EQ(host_.log().size(), 1u);
  EXPECT_EQ(host_.routed().size(), 3u);
  EXPECT_EQ(host_.routed()[2].routing, VEL_ROUTE_LOG | VEL_ROUTE_CLIENT);
}

}  // namespace
