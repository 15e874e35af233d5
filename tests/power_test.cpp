// Following devd: settings per power source, the closed-lid suspend, devd
// coming and going and the battery floor, on the simulated machine.

#include "harness.hpp"

#include <sys/stat.h>

#include <csignal>
#include <functional>

using harness::request;
using harness::sim;
using harness::wait_until;

namespace {

const std::string lid = "hw.acpi.lid_switch_state";
const std::string acad = "!system=ACPI subsystem=ACAD type=\\_SB_.AC notify=";
const std::string lid_event = "!system=ACPI subsystem=Lid type=\\_SB_.LID0 notify=";
const std::string resume = "!system=ACPI subsystem=Resume type=suspend";
const std::string cmbat = "!system=ACPI subsystem=CMBAT type=\\_SB_.BAT0 notify=0x80";
const std::string thermal = "!system=ACPI subsystem=Thermal type=\\_TZ_.TZ0 notify=0x80";
const std::string tz0 = "hw.acpi.thermal.tz0.temperature";

std::string
power(sim &s) {
    return request(s.socket(), "power\n");
}

void
event(sim &s, const std::string &message) {
    EXPECT_EQ(s.devd_event({message}).status, 0);
}

std::size_t
count(const std::string &text, const std::string &what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

// Two requests after the one that could have caused it: the service does
// one thing at a time and settles what it owes after the reply of the wake
// it served, so a suspend it owed is over before the second is served.
bool
suspended(sim &s, const char *tool) {
    power(s);
    power(s);
    return !s.log(tool).empty();
}

struct power_case {
    const char *name;
    std::map<std::string, std::string> env;
    bool devd;          // the stand-in runs before the service starts
    std::string stypes; // the kernel's sleep types, when not the usual ones
    std::function<void(sim &)> run;
};

void
PrintTo(const power_case &c, std::ostream *os) {
    *os << c.name;
}

void
unplug(sim &s) {
    s.set_setting("hw.acpi.acline", "0");
    event(s, acad + "0x00");
}

void
move_lid(sim &s, const char *notify) {
    s.set_setting("dev.acpi_lid.0.state", notify[3] == '0' ? "0" : "1");
    event(s, lid_event + notify);
}

void
battery_at(sim &s, const std::string &level) {
    s.set_setting("hw.acpi.battery.life", level);
    event(s, cmbat);
}

// On battery, a hold and the lid shut: a level not at the floor does nothing.
std::function<void(sim &)>
nothing_at(const std::string &level, const std::string &shown) {
    return [=](sim &s) {
        s.set_setting("hw.acpi.battery.life", level);
        unplug(s);
        EXPECT_EQ(request(s.socket(), "hold 1h\n"), "NONE\n");
        move_lid(s, "0x00");
        event(s, cmbat);
        EXPECT_EQ(power(s), "source=battery lid=closed devd=connected battery=" + shown + "\n");
        EXPECT_EQ(s.server_err().find("battery at"), std::string::npos);
    };
}

const std::map<std::string, std::string> floor_10 = {{"vantrel_battery_floor", "10"}};

const std::map<std::string, std::string> limit_80 = {{"vantrel_heat_limit", "80"}};

// A hold, then the lid shut at 45.0C, then the zone at value: the holds
// stay, and the reading is shown.
std::function<void(sim &)>
heat_kept_at(const std::string &value, const std::string &shown) {
    return [=](sim &s) {
        EXPECT_EQ(request(s.socket(), "hold 1h\n"), "NONE\n");
        move_lid(s, "0x00");
        EXPECT_EQ(power(s), "source=ac lid=closed devd=connected heat=45\n");
        s.set_setting(tz0, value);
        event(s, thermal);
        EXPECT_EQ(power(s), "source=ac lid=closed devd=connected heat=" + shown + "\n");
        EXPECT_NE(request(s.socket(), "holds\n"), "no holds\n");
    };
}

const std::map<std::string, std::string> awake_on_ac_s0ix_on_battery = {
    {"vantrel_on_ac", "awake"}, {"vantrel_on_battery", "s0ix"}};

const std::vector<power_case> &
cases() {
    const std::string no_s3 = "awake standby suspend_to_idle";
    static const std::vector<power_case> rows = {
        {"AppliedAtStartThenSwitched", awake_on_ac_s0ix_on_battery, true, "",
         [](sim &s) {
             EXPECT_EQ(s.setting(lid), "NONE");
             EXPECT_EQ(power(s), "source=ac lid=open devd=connected\n");
             event(s, acad + "0x00");
             event(s, acad + "0x00");
             EXPECT_EQ(power(s), "source=battery lid=open devd=connected\n");
             EXPECT_EQ(s.setting(lid), "suspend_to_idle");
             std::string err = s.server_err();
             EXPECT_EQ(count(err, "vantrel: devd: on ac: awake\n"), 1u) << err;
             EXPECT_EQ(count(err, "vantrel: devd: on battery: s0ix\n"), 1u) << err;
             EXPECT_TRUE(s.log("apm").empty());
         }},
        {"RestartOnSameSourceKeepsChoice", awake_on_ac_s0ix_on_battery, true, "",
         [](sim &s) {
             EXPECT_EQ(request(s.socket(), "s3\n"), "fw_suspend\n");
             s.signal_server(SIGKILL);
             s.wait_server(5);
             s.start_server(awake_on_ac_s0ix_on_battery);
             EXPECT_EQ(s.setting(lid), "fw_suspend");
             s.signal_server(SIGKILL);
             s.wait_server(5);
             s.start_server({{"vantrel_on_ac", "s0ix"}});
             EXPECT_EQ(s.setting(lid), "suspend_to_idle");
         }},
        {"InvalidSettingsIgnored",
         {{"vantrel_on_ac", "sleep"},
          {"vantrel_on_battery", "s3"},
          {"vantrel_battery_floor", "51"},
          {"vantrel_heat_limit", "49"}},
         true,
         no_s3,
         [](sim &s) {
             EXPECT_NE(s.server_err().find("vantrel: invalid vantrel_on_ac=sleep; ignored\n"
                                           "vantrel: no S3 sleep type for vantrel_on_battery=s3; "
                                           "ignored\n"
                                           "vantrel: invalid vantrel_battery_floor=51; ignored\n"
                                           "vantrel: invalid vantrel_heat_limit=49; ignored\n"),
                       std::string::npos)
                 << s.server_err();
             // Nothing left to follow: devd is not even asked.
             EXPECT_EQ(power(s), "source=unknown lid=unknown devd=absent\n");
         }},
        {"ChargerPulledWithLidClosedSuspends", awake_on_ac_s0ix_on_battery, true, "",
         [](sim &s) {
             s.set_setting("dev.acpi_lid.0.state", "0");
             event(s, lid_event + "0x00");
             event(s, acad + "0x00");
             EXPECT_TRUE(suspended(s, "apm"));
             EXPECT_NE(s.server_err().find("lid closed: suspending now (suspend_to_idle)"),
                       std::string::npos);
             EXPECT_EQ(power(s), "source=battery lid=closed devd=connected\n");
             event(s, lid_event + "0x02"); // any notify but zero is open
             EXPECT_EQ(power(s), "source=battery lid=open devd=connected\n");
         }},
        {"ChargerPulledAfterResumeWithLidOpen", awake_on_ac_s0ix_on_battery, true, "",
         [](sim &s) {
             event(s, lid_event + "0x00");
             event(s, resume); // the stand-in's lid still reads open
             event(s, acad + "0x00");
             EXPECT_EQ(power(s), "source=battery lid=open devd=connected\n");
             EXPECT_FALSE(suspended(s, "apm"));
         }},
        {"ChangeDuringHoldWaitsThenSuspends",
         {{"vantrel_on_ac", "awake"}, {"vantrel_on_battery", "s3"}},
         true,
         "",
         [](sim &s) {
             EXPECT_EQ(request(s.socket(), "hold 1h\n"), "NONE\n");
             s.set_setting("dev.acpi_lid.0.state", "0");
             event(s, lid_event + "0x00");
             event(s, acad + "0x00");
             EXPECT_EQ(power(s), "source=battery lid=closed devd=connected\n");
             EXPECT_EQ(count(s.server_err(), "devd: on battery: s3 (waits for the holds to end)\n"),
                       1u);
             EXPECT_EQ(s.setting(lid), "NONE");
             EXPECT_EQ(harness::read_file(s.dir() + "/run/vantrel.restore"), "fw_suspend\n");
             EXPECT_EQ(request(s.socket(), "release\n"), "fw_suspend\n");
             EXPECT_TRUE(suspended(s, "acpiconf"));
             EXPECT_NE(s.server_err().find("lid closed: suspending now (fw_suspend)"),
                       std::string::npos);
         }},
        {"StaleLidNeverSuspends",
         {{"vantrel_on_ac", "s0ix"}},
         true,
         "",
         [](sim &s) {
             auto no_suspend_at_holds_end = [&] {
                 EXPECT_EQ(request(s.socket(), "hold 1h\n"), "NONE\n");
                 EXPECT_EQ(request(s.socket(), "release\n"), "suspend_to_idle\n");
                 EXPECT_FALSE(suspended(s, "apm"));
             };
             // devd goes while the lid is closed: where it is becomes unknown.
             s.set_setting("dev.acpi_lid.0.state", "0");
             event(s, lid_event + "0x00");
             s.stop_devd();
             EXPECT_TRUE(wait_until(
                 [&] { return power(s).starts_with("source=unknown lid=unknown devd=absent"); },
                 5));
             no_suspend_at_holds_end();
             // Back with the same source, which applies nothing; the lid then
             // opens unheard.
             s.start_devd();
             EXPECT_TRUE(wait_until(
                 [&] { return power(s) == "source=ac lid=closed devd=connected\n"; }, 5));
             s.set_setting("dev.acpi_lid.0.state", "1");
             no_suspend_at_holds_end();
             std::string err = s.server_err();
             EXPECT_EQ(count(err, "vantrel: lid not known closed: not suspending\n"), 2u) << err;
             EXPECT_EQ(count(err, "vantrel: devd: connected\n"), 2u) << err;
             EXPECT_EQ(count(err, "vantrel: devd: on ac: s0ix\n"), 1u) << err;
         }},
        {"RestoreFileReplacedWhole",
         {{"vantrel_on_ac", "s0ix"}, {"vantrel_on_battery", "awake"}},
         true,
         "",
         [](sim &s) {
             const std::string file = s.dir() + "/run/vantrel.restore", fresh = file + ".new";
             // A failed write keeps the old file and the old state.
             EXPECT_EQ(request(s.socket(), "hold 1h\n"), "NONE\n");
             mkdir(fresh.c_str(), 0755);
             event(s, acad + "0x00");
             EXPECT_EQ(power(s), "source=battery lid=open devd=connected\n");
             EXPECT_EQ(harness::read_file(file), "suspend_to_idle\n");
             EXPECT_NE(s.server_err().find("vantrel: /var/run/vantrel.restore.new: File exists\n"),
                       std::string::npos);
             EXPECT_EQ(request(s.socket(), "release\n"), "suspend_to_idle\n");
         }},
        {"PersonsS3WithLidClosedKeepsRunning", awake_on_ac_s0ix_on_battery, true, "",
         [](sim &s) {
             event(s, lid_event + "0x00");
             EXPECT_EQ(request(s.socket(), "s3\n"), "fw_suspend\n");
             EXPECT_FALSE(suspended(s, "acpiconf"));
         }},
        {"DevdAbsentThenComingAndGoing", awake_on_ac_s0ix_on_battery, false, "",
         [](sim &s) {
             EXPECT_NE(s.server_err().find("vantrel: devd: /var/run/devd.seqpacket.pipe: "),
                       std::string::npos);
             EXPECT_EQ(power(s), "source=ac lid=unknown devd=absent\n");
             s.start_devd();
             EXPECT_TRUE(
                 wait_until([&] { return power(s).find("connected") != std::string::npos; }, 5));
             s.stop_devd();
             EXPECT_TRUE(wait_until(
                 [&] {
                     return s.server_err().find("devd: connection closed") != std::string::npos;
                 },
                 5));
             s.start_devd();
             EXPECT_TRUE(
                 wait_until([&] { return power(s).find("connected") != std::string::npos; }, 5));
             EXPECT_EQ(count(s.server_err(), "vantrel: devd: /var/run"), 1u);
         }},
        {"GarbageAndOversizedIgnored", awake_on_ac_s0ix_on_battery, true, "",
         [](sim &s) {
             for (const std::string &m :
                  {std::string("garbage"), acad + "0x00 " + std::string(1100, 'x'), acad + "0x0",
                   acad + "0x00 notify=0x00", "!" + acad + "0x00"})
                 event(s, m);
             EXPECT_EQ(power(s), "source=ac lid=open devd=connected\n");
             event(s, acad + "0x00\n");
             EXPECT_EQ(power(s), "source=battery lid=open devd=connected\n");
         }},
        // The battery floor: each row begins on the charger, lid open, at NONE.
        {"FloorAbove", floor_10, true, "", nothing_at("11", "11")},
        {"FloorReachedEndsHolds", floor_10, true, "",
         [](sim &s) {
             EXPECT_EQ(request(s.socket(), "s3\n"), "fw_suspend\n");
             EXPECT_EQ(request(s.socket(), "hold 1h\n"), "NONE\n");
             s.set_setting("hw.acpi.battery.life", "10");
             unplug(s);
             EXPECT_EQ(request(s.socket(), "holds\n"), "no holds\n");
             EXPECT_EQ(s.setting(lid), "fw_suspend");
             EXPECT_NE(s.server_err().find("vantrel: battery at 10%: holds ended\n"),
                       std::string::npos);
             EXPECT_EQ(request(s.socket(), "hold\n"), "error: battery low (10%)\n");
             EXPECT_TRUE(s.log("acpiconf").empty());
             // Unwatched, the last reading is old: a hold reads again first.
             event(s, acad + "0x01");
             s.set_setting("hw.acpi.battery.life", "50");
             unplug(s);
             EXPECT_EQ(request(s.socket(), "hold 1h\n"), "NONE\n");
         }},
        {"FloorLidClosedAndNoneSuspends", floor_10, true, "",
         [](sim &s) {
             unplug(s);
             move_lid(s, "0x00");
             battery_at(s, "5");
             EXPECT_TRUE(suspended(s, "apm"));
             EXPECT_NE(s.server_err().find("vantrel: battery at 5%: lid closed: suspending now\n"),
                       std::string::npos);
         }},
        {"FloorAfterResumeWaitsForTheLid", floor_10, true, "",
         [](sim &s) {
             unplug(s);
             move_lid(s, "0x00");
             event(s, resume);
             battery_at(s, "5");
             EXPECT_FALSE(suspended(s, "apm"));
             move_lid(s, "0x01");
             move_lid(s, "0x00");
             battery_at(s, "4");
             EXPECT_EQ(power(s), "source=battery lid=closed devd=connected battery=4\n");
             EXPECT_EQ(s.log("apm").size(), 1u);
         }},
        {"FloorOnTheChargerReadsNothing", floor_10, true, "",
         [](sim &s) {
             EXPECT_EQ(request(s.socket(), "hold 1h\n"), "NONE\n");
             move_lid(s, "0x00");
             battery_at(s, "5");
             EXPECT_EQ(power(s), "source=ac lid=closed devd=connected battery=unknown\n");
         }},
        {"FloorUnknownLevel", floor_10, true, "", nothing_at("-1", "unknown")},
        {"FailedAutomaticSuspendSaysSo", floor_10, true, "",
         [](sim &s) {
             s.knob("apm.exit", "1");
             unplug(s);
             move_lid(s, "0x00");
             battery_at(s, "5");
             EXPECT_TRUE(suspended(s, "apm"));
             EXPECT_NE(
                 s.server_err().find("vantrel: suspend failed (apm -z): the machine stays awake\n"),
                 std::string::npos);
         }},
        // The heat guard: each row begins on the charger, lid open, at NONE.
        {"HeatBelow", limit_80, true, "", heat_kept_at("79.9C", "79")},
        {"HeatUnknown", limit_80, true, "", heat_kept_at("79.9", "unknown")},
        {"HeatAtLimitEndsHoldsAndRefuses", limit_80, true, "",
         [](sim &s) {
             EXPECT_EQ(request(s.socket(), "s3\n"), "fw_suspend\n");
             EXPECT_EQ(request(s.socket(), "hold 1h\n"), "NONE\n");
             s.set_setting(tz0, "80.0C");
             move_lid(s, "0x00");
             EXPECT_TRUE(suspended(s, "acpiconf"));
             EXPECT_EQ(request(s.socket(), "holds\n"), "no holds\n");
             EXPECT_NE(s.server_err().find("vantrel: 80 C with the lid closed: holds ended\n"),
                       std::string::npos);
             // Unwatched, the last reading is old: a hold reads again first.
             s.set_setting(tz0, "91.5C");
             EXPECT_EQ(request(s.socket(), "hold\n"), "error: too hot (91 C)\n");
         }},
        {"HeatLidOpenReadsNothing", limit_80, true, "",
         [](sim &s) {
             EXPECT_EQ(request(s.socket(), "hold 1h\n"), "NONE\n");
             s.set_setting(tz0, "95.0C");
             event(s, thermal);
             EXPECT_EQ(power(s), "source=ac lid=open devd=connected heat=unknown\n");
             for (const std::string &call : s.log("sysctl"))
                 EXPECT_EQ(call.find("-qn " + tz0), std::string::npos) << call;
         }},
        // A refused s0ix leaves the fallen-back S3 mode, which the floor uses.
        {"RefusedS0ixKeepsFloorsS3", floor_10, true, "awake standby s2mem",
         [](sim &s) {
             EXPECT_EQ(request(s.socket(), "s0ix\n"), "error\n");
             unplug(s);
             move_lid(s, "0x00");
             battery_at(s, "5");
             EXPECT_TRUE(suspended(s, "acpiconf"));
         }},
        // The tool returns before the machine sleeps: only devd's resume
        // brings news, and no second request goes out while one is pending.
        {"SuspendPendingUntilResume", awake_on_ac_s0ix_on_battery, true, "",
         [](sim &s) {
             s.knob("apm.delay", "300");
             move_lid(s, "0x00");
             event(s, acad + "0x00");
             EXPECT_TRUE(wait_until([&] { return !s.log("apm").empty(); }, 5));
             s.set_setting("dev.acpi_lid.0.state", "1");
             EXPECT_EQ(power(s), "source=battery lid=closed devd=connected\n");
             s.set_setting("dev.acpi_lid.0.state", "0");
             auto replug = [&] {
                 event(s, acad + "0x01");
                 event(s, acad + "0x00");
                 power(s);
                 return power(s);
             };
             replug();
             EXPECT_EQ(s.log("apm").size(), 1u);
             EXPECT_NE(s.server_err().find("a suspend is still pending"), std::string::npos);
             event(s, "!system=kernel subsystem=power type=resume");
             replug();
             EXPECT_EQ(s.log("apm").size(), 2u);
         }},
    };
    return rows;
}

class Power : public ::testing::TestWithParam<power_case> {};

TEST_P(Power, FollowsDevd) {
    REQUIRE_ROOT();
    const power_case &c = GetParam();
    sim s;
    if (!c.stypes.empty())
        s.set_setting("kern.power.supported_stype", c.stypes);
    if (c.devd)
        s.start_devd();
    s.start_server(c.env);
    c.run(s);
}

INSTANTIATE_TEST_SUITE_P(Devd, Power, ::testing::ValuesIn(cases()),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
