#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "error/internal_error.hpp"
#include "pool/pool_holder.hpp"
#include "pool/terminal_session.hpp"
#include "pool/user_pool.hpp"

namespace {

using ovaline::InternalError;
using ovaline::pool::parse_uid;
using ovaline::pool::PoolHolder;
using ovaline::pool::TerminalSession;
using ovaline::pool::UserAccount;
using ovaline::pool::UserPool;
using ovaline::pool::UserPoolHost;
using ovaline::sandbox::ProgramResult;

const std::vector<std::string> first_names = {"test_UKUKKUUK", "test_jii8OIPW", "test_9mP8mMxu",
                                              "test_CKhrcVkS"};

// A host with an account database in memory. It records every program run and every
// diagnostic, and can be told to fail in the ways the real host can.
struct FakeHost {
    std::map<std::string, std::uint32_t> accounts;
    std::uint32_t next_uid = 1000;
    std::vector<std::string> calls;
    std::vector<std::string> reports;
    bool id_missing = false;
    bool useradd_missing = false;
    std::optional<ProgramResult> useradd_failure;
    bool useradd_forgets = false; // succeeds without creating the account
    std::optional<std::string> id_output;

    UserPoolHost host() {
        return UserPoolHost{
            [this](const std::string& program,
                   std::span<const std::string> args) -> std::expected<ProgramResult, std::string> {
                calls.push_back(program + " " + args.back());
                if (program == "id") {
                    if (id_missing) {
                        return std::unexpected("No such file or directory");
                    }
                    if (id_output) {
                        return ProgramResult{0, *id_output, ""};
                    }
                    auto found = accounts.find(args.back());
                    if (found == accounts.end()) {
                        return ProgramResult{1, "", "no such user\n"};
                    }
                    return ProgramResult{0, std::to_string(found->second) + "\n", ""};
                }
                if (useradd_missing) {
                    return std::unexpected("No such file or directory");
                }
                if (useradd_failure) {
                    return *useradd_failure;
                }
                if (!useradd_forgets) {
                    accounts[args.back()] = next_uid++;
                }
                return ProgramResult{0, "", ""};
            },
            [this](std::string_view line) { reports.emplace_back(line); }};
    }
};

TEST(UserPool, NewPoolCreatesAccountsUnderFixedNames) {
    FakeHost fake;
    UserPool pool(fake.host());
    for (std::size_t i = 0; i < first_names.size(); ++i) {
        auto account = pool.acquire_user();
        ASSERT_TRUE(account);
        EXPECT_EQ(account->name, first_names[i]);
        EXPECT_EQ(account->uid, 1000 + i);
    }
    EXPECT_EQ(fake.calls.size(), 12u);
    EXPECT_EQ(fake.calls[0], "id test_UKUKKUUK");
    EXPECT_EQ(fake.calls[1], "useradd test_UKUKKUUK");
    EXPECT_EQ(fake.calls[2], "id test_UKUKKUUK");
    EXPECT_EQ(pool.user().size(), 4u);
    EXPECT_TRUE(pool.free_user().empty());
    EXPECT_TRUE(fake.reports.empty());
}

TEST(UserPool, ExistingAccountIsUsedWithoutUseradd) {
    FakeHost fake;
    fake.accounts["test_UKUKKUUK"] = 4242;
    UserPool pool(fake.host());
    auto account = pool.acquire_user();
    ASSERT_TRUE(account);
    EXPECT_EQ(*account, (UserAccount{4242, "test_UKUKKUUK"}));
    EXPECT_EQ(fake.calls, std::vector<std::string>{"id test_UKUKKUUK"});
}

TEST(UserPool, TwoPoolsHandOutTheSameAccount) {
    FakeHost fake;
    UserPool first(fake.host());
    UserPool second(fake.host());
    EXPECT_EQ(first.acquire_user(), second.acquire_user());
    EXPECT_EQ(fake.accounts.size(), 1u);
}

TEST(UserPool, ReleasedAccountIsReusedAndRecordedEveryTime) {
    FakeHost fake;
    UserPool pool(fake.host());
    auto account = pool.acquire_user();
    ASSERT_TRUE(account);
    const auto calls = fake.calls.size();
    for (int round = 0; round < 3; ++round) {
        pool.release_user(account->uid);
        EXPECT_TRUE(pool.user().empty());
        EXPECT_EQ(pool.free_user(), std::vector<UserAccount>{*account});
        EXPECT_EQ(pool.acquire_user(), account);
        EXPECT_EQ(pool.user(), std::vector<UserAccount>{*account});
        EXPECT_TRUE(pool.free_user().empty());
    }
    EXPECT_EQ(fake.calls.size(), calls);
}

TEST(UserPool, FreeListIsLastInFirstOut) {
    FakeHost fake;
    UserPool pool(fake.host());
    auto a = pool.acquire_user();
    auto b = pool.acquire_user();
    auto c = pool.acquire_user();
    pool.release_user(a->uid);
    pool.release_user(c->uid);
    EXPECT_EQ(pool.user(), std::vector<UserAccount>{*b});
    EXPECT_EQ(pool.acquire_user(), c);
    EXPECT_EQ(pool.acquire_user(), a);
}

TEST(UserPool, ReleaseOfUnknownUidChangesNothing) {
    FakeHost fake;
    UserPool pool(fake.host());
    auto account = pool.acquire_user();
    pool.release_user(account->uid + 1);
    EXPECT_EQ(pool.user(), std::vector<UserAccount>{*account});
    EXPECT_TRUE(pool.free_user().empty());
    pool.release_user(account->uid);
    pool.release_user(account->uid);
    EXPECT_EQ(pool.free_user(), std::vector<UserAccount>{*account});
}

TEST(UserPool, FullPoolCreatesNoAccount) {
    FakeHost fake;
    UserPool pool(fake.host());
    for (std::size_t i = 0; i < pool.max_user(); ++i) {
        ASSERT_TRUE(pool.acquire_user()) << "account " << i;
    }
    EXPECT_EQ(pool.user().size(), 256u);
    const auto calls = fake.calls.size();
    EXPECT_FALSE(pool.acquire_user());
    EXPECT_EQ(fake.calls.size(), calls);
    EXPECT_EQ(fake.accounts.size(), 256u);

    // A free account is not handed out past the limit either.
    const auto last = pool.user().back();
    pool.release_user(last.uid);
    EXPECT_EQ(pool.acquire_user(), last);
    EXPECT_FALSE(pool.acquire_user());
    EXPECT_TRUE(pool.free_user().empty());
}

struct UseraddFailure {
    std::string err;
    std::string report;
};

// Test names show the text with its control and non-ASCII bytes escaped.
std::string escaped(std::string_view text) {
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out.push_back(static_cast<char>(c));
        } else {
            constexpr char hex[] = "0123456789ABCDEF";
            out += "\\x";
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 0xF]);
        }
    }
    return out;
}

void PrintTo(const UseraddFailure& failure, std::ostream* os) {
    *os << '"' << escaped(failure.err) << '"';
}

class UseraddFails : public testing::TestWithParam<UseraddFailure> {};

TEST_P(UseraddFails, ReportsOnStandardErrorAndGivesNothing) {
    FakeHost fake;
    fake.useradd_failure = ProgramResult{9, "", GetParam().err};
    UserPool pool(fake.host());
    EXPECT_FALSE(pool.acquire_user());
    EXPECT_EQ(fake.reports, std::vector<std::string>{GetParam().report});
    EXPECT_TRUE(pool.user().empty());
    EXPECT_TRUE(pool.free_user().empty());

    // The generator moved on: the next attempt uses the next name.
    fake.useradd_failure.reset();
    auto account = pool.acquire_user();
    ASSERT_TRUE(account);
    EXPECT_EQ(account->name, first_names[1]);
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, UseraddFails,
    testing::Values(UseraddFailure{"useradd: cannot lock /etc/passwd\n",
                                   "Failed to create the user account: useradd: cannot lock "
                                   "/etc/passwd\n"},
                    UseraddFailure{"", "Failed to create the user account: "},
                    UseraddFailure{"bad \xff byte", "Failed to create the user account: "}));

TEST(UserPool, AccountMissingAfterUseraddGivesNothing) {
    FakeHost fake;
    fake.useradd_forgets = true;
    UserPool pool(fake.host());
    EXPECT_FALSE(pool.acquire_user());
    EXPECT_EQ(fake.calls.size(), 3u);
    EXPECT_TRUE(fake.reports.empty());
    EXPECT_TRUE(pool.user().empty());
}

TEST(UserPool, HostProgramThatCannotStartThrows) {
    FakeHost fake;
    fake.id_missing = true;
    UserPool pool(fake.host());
    try {
        pool.acquire_user();
        FAIL() << "no exception";
    } catch (const InternalError& e) {
        EXPECT_STREQ(e.what(), "Failed to execute the command `id`: No such file or directory");
    }

    FakeHost fake2;
    fake2.useradd_missing = true;
    UserPool pool2(fake2.host());
    try {
        pool2.acquire_user();
        FAIL() << "no exception";
    } catch (const InternalError& e) {
        EXPECT_STREQ(e.what(),
                     "Failed to execute the command `useradd`: No such file or directory");
    }
}

TEST(UserPool, FailureUnderTheMutexPoisonsThePool) {
    FakeHost fake;
    fake.id_missing = true;
    auto holder = std::make_shared<PoolHolder>(UserPool(fake.host()));
    EXPECT_THROW(
        {
            auto guard = holder->mutex.lock();
            holder->pool.acquire_user();
        },
        InternalError);
    EXPECT_TRUE(holder->mutex.poisoned());
    fake.id_missing = false;
    EXPECT_THROW(holder->mutex.lock(), InternalError);
}

TEST(UserPool, SessionWithoutAccountFailsWithoutPoisoning) {
    FakeHost fake;
    fake.useradd_failure = ProgramResult{1, "", "denied\n"};
    auto holder = std::make_shared<PoolHolder>(UserPool(fake.host()));
    auto session = TerminalSession::create(holder);
    ASSERT_FALSE(session);
    EXPECT_EQ(session.error().message, "Failed to acquire a user account");
    EXPECT_FALSE(holder->mutex.poisoned());
    EXPECT_NO_THROW(holder->mutex.lock());
}

TEST(UserPool, UidOutputIsCheckedForUtf8) {
    FakeHost fake;
    fake.id_output = "10\xc3\x28\n";
    UserPool pool(fake.host());
    EXPECT_FALSE(pool.userid("x"));
    EXPECT_EQ(fake.reports, std::vector<std::string>{
                                "Failed to convert the result back to a valid utf-8 string"});
}

struct UidCase {
    std::string output;
    std::optional<std::uint32_t> uid;
};

void PrintTo(const UidCase& uid_case, std::ostream* os) {
    *os << '"' << escaped(uid_case.output) << '"';
}

class ParseUid : public testing::TestWithParam<UidCase> {};

TEST_P(ParseUid, FirstLineAsUnsignedDecimal) {
    EXPECT_EQ(parse_uid(GetParam().output), GetParam().uid);
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, ParseUid,
    testing::Values(UidCase{"1001\n", 1001}, UidCase{"1001\r\n", 1001}, UidCase{"1001", 1001},
                    UidCase{"0\nsecond line\n", 0}, UidCase{"+7\n", 7}, UidCase{"007", 7},
                    UidCase{"4294967295\n", 4294967295u}, UidCase{" 1001", std::nullopt},
                    UidCase{"1001 \n", std::nullopt}, UidCase{"-1\n", std::nullopt},
                    UidCase{"+\n", std::nullopt}, UidCase{"", std::nullopt},
                    UidCase{"\n1001\n", std::nullopt}, UidCase{"1001\r", std::nullopt},
                    UidCase{"12\r\r\n", std::nullopt}, UidCase{"4294967296", std::nullopt},
                    UidCase{"99999999999999999999999", std::nullopt},
                    UidCase{"++1", std::nullopt}));

} // namespace
