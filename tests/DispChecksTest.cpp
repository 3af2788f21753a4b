#include "dispatcher/DispChecks.h"

#include <gtest/gtest.h>

#include <functional>

#include "DispTestSupport.h"

namespace orbitrace {
namespace {

using namespace test;

// A position record whose first word is not zero.
const std::string kPosition = U32(10620432) + U32(553000000) + U32(2);

struct Verdicts {
  bool data, lastPosition, setRoute;
  bool operator==(const Verdicts&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Verdicts& v) {
  return os << "data=" << v.data << " last=" << v.lastPosition << " route=" << v.setRoute;
}

struct CheckCase {
  const char* name;
  std::function<void(DispFixture&)> setup;  // device 321
  std::string password;
  Verdicts verdicts;
  std::vector<std::string> dataLog, lastLog, routeLog;
};

// The three checks on one device, side by side, with the lines each one logged.
TEST(DispChecksTest, ChecksOfTheThreeRequestKindsSideBySide) {
  const auto device = [](const char* password, bool served) {
    return [=](DispFixture& f) {
      f.Device(321, password);
      f.DeviceFile(321, "0000321-100315.bin", "data");
      f.DeviceFile(321, "lastposition.bin", kPosition);
      if (served) f.registry.served.insert(321);
    };
  };
  const std::string notServed = "ERR Прибор 321 не обслуживается";
  const std::string fld = "ERR Прибор 321 неверный пароль (FLD)";
  const std::string dev = "ERR Прибор 321 неверный пароль (DEV)";
  const std::string billing = "ERR Прибор 321 отключен системой биллинга";
  const std::vector<std::string> none;
  const auto listedWithoutFolder = [](DispFixture& f) {
    f.registry.served.insert(321);
    f.registry.passwords[321] = Pw("list    ");
  };
  File held;  // a writer holding one case's password.txt
  const std::vector<CheckCase> cases = {
      {"served, right password.txt",
       device("abc", true),
       "abc     ",
       {true, true, true},
       none,
       none,
       none},
      {"not served",
       device("abc", false),
       "abc     ",
       {true, false, false},
       none,
       {notServed},
       {notServed}},
      {"wrong password.txt",
       device("abc", true),
       "abd     ",
       {false, false, false},
       {dev},
       {dev},
       {dev}},
      {"three characters need five spaces",
       device("abc", true),
       "abc",
       {false, false, false},
       {dev},
       {dev},
       {dev}},
      {"empty password.txt is eight spaces",
       device("", true),
       "        ",
       {true, true, true},
       none,
       none,
       none},
      {"no folder",
       [](DispFixture& f) { f.registry.served.insert(321); },
       "abc     ",
       {false, false, false},
       none,
       none,
       none},
      {"no folder, listed password does not match",
       listedWithoutFolder,
       "abc     ",
       {false, false, false},
       none,
       none,
       none},
      {"no folder, listed password matches",
       listedWithoutFolder,
       "list    ",
       {false, false, false},
       none,
       none,
       none},
      {"no password anywhere, zero password",
       device(nullptr, true),
       std::string(8, '\0'),
       {true, false, false},
       none,
       none,
       none},
      {"no password anywhere, other password",
       device(nullptr, true),
       "abc     ",
       {false, false, false},
       {dev},
       none,
       none},
      {"list entry wins over password.txt",
       [&](DispFixture& f) {
         device("abc", true)(f);
         f.registry.passwords[321] = Pw("list    ");
       },
       "abc     ",
       {false, false, false},
       {fld},
       {fld},
       {fld}},
      {"list entry matches",
       [&](DispFixture& f) {
         device("abc", true)(f);
         f.registry.passwords[321] = Pw("list    ");
       },
       "list    ",
       {true, true, true},
       none,
       none,
       none},
      {"billing on",
       [&](DispFixture& f) {
         device("abc", true)(f);
         f.settings.EnableBilling = true;
       },
       "abc     ",
       {false, false, true},
       {billing},
       {billing},
       none},
      {"no file to serve, position too short",
       [](DispFixture& f) {
         f.Device(321, "abc");
         f.DeviceFile(321, "lastposition.bin", kPosition.substr(0, 11));
         f.registry.served.insert(321);
       },
       "abc     ",
       {false, false, true},
       {"INF Прибор 321 файлов не найдено"},
       none,
       none},
      {"password.txt held by a writer: no password known, not even zeros",
       [&](DispFixture& f) {
         device("", true)(f);
         held.Open(f.Folder(321) + "/password.txt", Access::Write, Share::Read,
                   Disposition::OpenExisting);
       },
       std::string(8, '\0'),
       {false, false, false},
       none,
       none,
       none},
      {"position without a time",
       [&](DispFixture& f) {
         device("abc", true)(f);
         f.DeviceFile(321, "lastposition.bin", U32(0) + kPosition.substr(4));
       },
       "abc     ",
       {true, false, true},
       none,
       none,
       none},
  };
  for (const CheckCase& c : cases) {
    DispFixture f;
    c.setup(f);
    const DispEnv env = f.Env();
    const std::array<char, 8> pw = Pw(c.password);

    TDevFilesRequest data;
    data.serial = 321;
    data.password = pw;
    std::memcpy(data.date.data(), "??????", 6);
    data.SetKind("bin");
    Verdicts got{};
    got.data = CheckDevFilesRequest(env, data, 2) && BillingGate(env, 321);
    EXPECT_EQ(f.Lines(), c.dataLog) << c.name;
    TGetLastPosRequest position{321, pw, {}};
    got.lastPosition = CheckLastPositionRequest(env, position);
    EXPECT_EQ(f.Lines(), c.lastLog) << c.name;
    got.setRoute = CheckSetRouteRequest(env, TSetRouteRequest{321, pw, 9});
    EXPECT_EQ(f.Lines(), c.routeLog) << c.name;
    EXPECT_EQ(got, c.verdicts) << c.name;
  }
}

}  // namespace
}  // namespace orbitrace
