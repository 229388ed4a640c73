#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "events/catalogue.h"
#include "events/event.h"

namespace tovan {
namespace {

TEST(SerializeEvent, WritesOneCompactObjectPerLineWithControlCharactersEscaped) {
  EXPECT_EQ(serializeEvent(catalogue::running()), "{\"event\":\"state\",\"state\":\"running\"}\n");
  EXPECT_EQ(serializeEvent(catalogue::consoleLoggingDisabled("/tmp/a\"b\\c\nd")),
            "{\"event\":\"log\",\"line\":\"console logging disabled (cannot open "
            "/tmp/a\\\"b\\\\c\\nd)\"}\n");
  EXPECT_EQ(serializeEvent(catalogue::startFailed("x")),
            "{\"event\":\"error\",\"message\":\"start failed: x\"}\n");
}

TEST(SerializeEvent, DropsTextThatIsNotUtf8) {
  EXPECT_EQ(serializeEvent(Event::log("bad \xff byte")), "");
}

TEST(Catalogue, HostShareTextCarriesTheEmDashAsUtf8) {
  EXPECT_EQ(catalogue::hostShareSurvivedUnmount("my vm").text,
            "host share /Volumes/my vm survived forced unmount \xe2\x80\x94 freezing anyway; the "
            "mount may hang the host until the VM is woken or the Mac reboots");
}

}  // namespace
}  // namespace tovan
