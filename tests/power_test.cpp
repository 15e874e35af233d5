// Following devd: settings per power source, the closed-lid suspend, devd
// coming and going and the battery floor, on the simulated machine.

#include "harness.hpp"

#include <sys/stat.h>

#include <csignal>
#include <filesystem>
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
          {"vantrel_heat_limit", "49"},
          {"vantrel_on_docked", "dock"},
          {"vantrel_resume_holdoff", "301"}},
         true,
         no_s3,
         [](sim &s) {
             EXPECT_NE(s.server_err().find("vantrel: invalid vantrel_on_ac=sleep; ignored\n"
                                           "vantrel: no S3 sleep type for vantrel_on_battery=s3; "
                                           "ignored\n"
                                           "vantrel: invalid vantrel_battery_floor=51; ignored\n"
                                           "vantrel: invalid vantrel_heat_limit=49; ignored\n"
                                           "vantrel: invalid vantrel_on_docked=dock; ignored\n"
                                           "vantrel: invalid vantrel_resume_holdoff=301; "
                                           "ignored\n"),
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
        // Woken in a bag at the floor: asleep again once the hold-off passes.
        {"FloorAfterResumeHeldOff",
         {{"vantrel_battery_floor", "10"}, {"vantrel_resume_holdoff", "2"}},
         true,
         "",
         [](sim &s) {
             unplug(s);
             move_lid(s, "0x00");
             battery_at(s, "5");
             EXPECT_TRUE(suspended(s, "apm"));
             double resumed = harness::now_seconds();
             event(s, resume);
             power(s);
             power(s);
             EXPECT_EQ(s.log("apm").size(), 1u);
             EXPECT_TRUE(wait_until([&] { return s.log("apm").size() == 2; }, 5));
             EXPECT_GE(harness::now_seconds() - resumed, 1.8);
             EXPECT_EQ(count(s.server_err(), "held off after resume: suspend in 2s\n"), 1u);
         }},
        // devd gone as the charger is pulled: the next reading ends the holds.
        {"FloorWithoutDevdReadsTheSource", floor_10, true, "",
         [](sim &s) {
             EXPECT_EQ(request(s.socket(), "hold 1h\n"), "NONE\n");
             s.set_setting("hw.acpi.acline", "0");
             s.set_setting("hw.acpi.battery.life", "5");
             s.stop_devd();
             EXPECT_TRUE(
                 wait_until([&] { return request(s.socket(), "holds\n") == "no holds\n"; }));
             EXPECT_EQ(power(s), "source=battery lid=unknown devd=absent battery=5\n");
             EXPECT_FALSE(suspended(s, "apm"));
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
        {"SuspendPendingUntilResume",
         {{"vantrel_on_ac", "awake"},
          {"vantrel_on_battery", "s0ix"},
          {"vantrel_resume_holdoff", "0"}},
         true,
         "",
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

// Docking: the displays drm-kmod lists under sysctl, and the ACPI dock.
const std::string hotplug = "!system=DRM subsystem=CONNECTOR type=HOTPLUG cdev=dri/card0";
const std::map<std::string, std::string> docked_env = {
    {"vantrel_on_docked", "awake"}, {"vantrel_on_battery", "s3"}, {"vantrel_resume_holdoff", "8"}};

// A connector's setting under drm-kmod's older layout or its newer one.
std::string
connector(const std::string &layout, const std::string &name, const std::string &field) {
    if (layout == "old")
        return "sys.class.drm.card0-" + name + "." + field;
    return "sys.device.drmn0.card1.card1-" + name + "." + field;
}

// Only layout's connectors: eDP-1 connected, HDMI-A-1 as hdmi, both with
// their blanking flags and a multi-line modes.
void
use_layout(sim &s, const std::string &layout, const std::string &hdmi) {
    for (const auto &entry : std::filesystem::directory_iterator(s.dir() + "/sysctl")) {
        std::string name = entry.path().filename();
        if (name.starts_with("sys.class.drm.") || name.starts_with("sys.device."))
            std::filesystem::remove(entry.path());
    }
    if (layout == "none")
        return;
    for (const auto &[name, status] :
         {std::pair{"eDP-1", "connected"}, {"HDMI-A-1", hdmi.c_str()}}) {
        s.set_setting(connector(layout, name, "status"), status);
        s.set_setting(connector(layout, name, "enabled"), "enabled");
        s.set_setting(connector(layout, name, "dpms"), "On");
        s.set_setting(connector(layout, name, "modes"), "1920x1080\n1280x720\n640x480");
    }
}

void
hdmi_is(sim &s, const std::string &status, const std::string &dpms) {
    s.set_setting(connector("new", "HDMI-A-1", "status"), status);
    s.set_setting(connector("new", "HDMI-A-1", "dpms"), dpms);
    s.set_setting(connector("new", "HDMI-A-1", "enabled"), dpms == "On" ? "enabled" : "disabled");
    event(s, hotplug);
}

bool
logged(sim &s, const std::string &line, double seconds = 6) {
    return wait_until([&] { return s.server_err().find(line) != std::string::npos; }, seconds);
}

struct reading_case {
    const char *name;
    const char *layout;
    const char *hdmi;
    const char *dock; // dev.acpi_dock.0.status, or none
    bool over_long;   // a name too long for a line comes first, connected
    const char *shown;
    const char *log;
};

void
PrintTo(const reading_case &c, std::ostream *os) {
    *os << c.name;
}

class DockReading : public ::testing::TestWithParam<reading_case> {};

// Read at start: only external connectors' status counts, and no blanking
// flag, mode list or EDID is ever read.
TEST_P(DockReading, AtStart) {
    REQUIRE_ROOT();
    const reading_case &c = GetParam();
    sim s;
    use_layout(s, c.layout, c.hdmi);
    if (*c.dock)
        s.set_setting("dev.acpi_dock.0.status", c.dock);
    // Both its first 127 bytes and the rest would pass for a connector's
    // status, were the line cut into pieces.
    std::string head = "sys.device.drmn0.card1.card1-" + std::string(91, 'D') + ".status";
    std::string split_off = "card1-DP-9.status";
    if (c.over_long)
        s.set_setting(head + split_off, "connected");
    s.start_devd();
    s.start_server(docked_env);
    EXPECT_EQ(power(s), std::string("source=ac lid=open devd=connected docked=") + c.shown + "\n");
    EXPECT_EQ(s.server_err().find("docked ("),
              *c.log ? s.server_err().find(c.log) : std::string::npos)
        << s.server_err();
    for (const std::string &call : s.log("sysctl")) {
        for (const char *field : {".enabled", ".dpms", ".modes", ".edid", "eDP-1.status"})
            EXPECT_EQ(call.find(field), std::string::npos) << call;
        EXPECT_FALSE(call.ends_with(" " + split_off) || call.ends_with(" " + head)) << call;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Devd, DockReading,
    ::testing::Values(
        reading_case{"OldLayout", "old", "connected", "", false, "yes", "docked (HDMI-A-1): awake"},
        reading_case{"NewLayout", "new", "connected", "", false, "yes", "docked (HDMI-A-1): awake"},
        reading_case{"PanelIsNoDock", "new", "disconnected", "", false, "no", ""},
        reading_case{"OverLongLineSkipped", "new", "disconnected", "", true, "no", ""},
        reading_case{"DockWithoutDriver", "none", "", "1", false, "yes", "docked (dock): awake"},
        reading_case{"DockCannotTell", "old", "disconnected", "-1", false, "unknown", ""},
        reading_case{"NothingToRead", "none", "", "", false, "unknown", ""}),
    [](const auto &info) { return std::string(info.param.name); });

// One table of steps: each acts, then waits for its log line (or, for an
// empty one, the time a reading takes), and counts the suspends so far.
struct dock_step {
    const char *name;
    std::function<void(sim &)> act;
    const char *log;
    std::size_t suspends;
    const char *lid_action;
};

TEST(Docked, DockBlankUndockResume) {
    REQUIRE_ROOT();
    sim s;
    use_layout(s, "new", "disconnected");
    s.set_setting("hw.acpi.acline", "0");
    s.start_devd();
    s.start_server(docked_env);
    double resumed = 0;
    const dock_step steps[] = {
        {"plugged", [](sim &t) { hdmi_is(t, "connected", "On"); }, "docked (HDMI-A-1): awake", 0,
         "NONE"},
        {"lid closed", [](sim &t) { move_lid(t, "0x00"); }, "", 0, "NONE"},
        {"blanked", [](sim &t) { hdmi_is(t, "connected", "Off"); }, "", 0, "NONE"},
        {"unplugged", [](sim &t) { hdmi_is(t, "disconnected", "Off"); }, "undocked: s3", 1,
         "fw_suspend"},
        {"resumed and plugged",
         [&](sim &t) {
             resumed = harness::now_seconds();
             event(t, resume);
             hdmi_is(t, "connected", "On");
         },
         "docked (HDMI-A-1): awake\n", 1, "NONE"},
        {"unplugged in the hold-off", [](sim &t) { hdmi_is(t, "disconnected", "On"); },
         "held off after resume: suspend in ", 1, "fw_suspend"},
    };
    for (const dock_step &step : steps) {
        std::size_t before = count(s.server_err(), step.log);
        step.act(s);
        if (*step.log)
            EXPECT_TRUE(wait_until([&] { return count(s.server_err(), step.log) > before; }, 6))
                << step.name << "\n"
                << s.server_err();
        else
            wait_until([] { return false; }, 2.5);
        // The pass that logged it carries it out before serving these.
        suspended(s, "acpiconf");
        EXPECT_EQ(s.log("acpiconf").size(), step.suspends) << step.name;
        EXPECT_EQ(s.setting(lid), step.lid_action) << step.name;
    }
    EXPECT_NE(power(s).find(" docked=no"), std::string::npos);
    // The hold-off's end: the suspend still owed happens, not before.
    EXPECT_TRUE(wait_until([&] { return s.log("acpiconf").size() == 2; }, 8));
    EXPECT_GE(harness::now_seconds() - resumed, 7.8);
}

// Without a power-source setting the undocking puts back what docking
// replaced, also after a crash; a restart still docked applies nothing.
TEST(Docked, CrashThenUndockRestores) {
    REQUIRE_ROOT();
    sim s;
    use_layout(s, "new", "disconnected");
    const std::map<std::string, std::string> env = {{"vantrel_on_docked", "awake"}};
    s.start_devd();
    s.start_server(env);
    EXPECT_EQ(request(s.socket(), "s3\n"), "fw_suspend\n");
    hdmi_is(s, "connected", "On");
    EXPECT_TRUE(logged(s, "docked (HDMI-A-1): awake"));
    power(s); // the pass that logged it is over
    s.signal_server(SIGKILL);
    s.wait_server(5);
    EXPECT_EQ(harness::read_file(s.dir() + "/run/vantrel.undock"), "fw_suspend\n");
    s.start_server(env);
    EXPECT_EQ(s.server_err().find("docked"), std::string::npos) << s.server_err();
    hdmi_is(s, "disconnected", "On");
    EXPECT_TRUE(logged(s, "undocked: fw_suspend"));
    power(s);
    EXPECT_EQ(s.setting(lid), "fw_suspend");
    EXPECT_FALSE(harness::file_exists(s.dir() + "/run/vantrel.undock"));
}

} // namespace
