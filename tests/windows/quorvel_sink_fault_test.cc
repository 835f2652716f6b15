// Faults raised inside the framework sink's VPrint, as a sink built by
// another compiler raises them on Windows: an access violation and an
// MSVC-style C++ exception (structured exception 0xE06D7363). The library's
// Print catches both, on the host's threads and on its own, and every
// operation goes on as if the message had been written.
#include "host/host_fixture.h"

namespace qrv {
namespace wintest {
namespace {

class SinkFault : public HostTest {
 protected:
  void RunWithFaultingSink(pxcom::StandIn::Fault fault) {
    ASSERT_TRUE(Sink().SetVPrintFault(fault)) << "the stand-in cannot raise this fault";
    HostService& service = NewService();
    ASSERT_EQ(Init(), QUORVEL_OK);                // one message
    ASSERT_EQ(Register(2, service), QUORVEL_OK);  // two
    ASSERT_TRUE(WaitForPendingReceives(2, 3)) << "the workers never received";
    EXPECT_EQ(AwaitOutcome(Post(2, 1, Bytes(12, 2))).reply, Bytes(12, 2));
    // The free-port line, each worker's two lines on its own thread, and
    // the result line.
    ASSERT_EQ(Unregister(2), QUORVEL_OK);
    EXPECT_EQ(Sink().Counters().vprintCalls, 1 + 2 + 1 + 3 * 2 + 1);
    EXPECT_EQ(Sink().RecordCount(), 0);

    // With the fault cleared the same sink takes the messages again.
    ASSERT_TRUE(Sink().SetVPrintFault(pxcom::StandIn::Fault::kNone));
    ASSERT_EQ(Register(3, service), QUORVEL_OK);
    ExpectText("quorvel-Register( 3 ): success.");
    EXPECT_EQ(AwaitOutcome(Post(3, 1, Bytes(7, 3))).reply, Bytes(7, 3));
    UnInit();
    ExpectText("quorvel-UnInit: ok.");
    EXPECT_EQ(Sink().Counters().liveComponents, 0);
  }
};

TEST_F(SinkFault, AccessViolationInVPrintIsCaughtInPrint) {
  RunWithFaultingSink(pxcom::StandIn::Fault::kAccessViolation);
}

TEST_F(SinkFault, CppExceptionInVPrintIsCaughtInPrint) {
  RunWithFaultingSink(pxcom::StandIn::Fault::kThrow);
}

}  // namespace
}  // namespace wintest
}  // namespace qrv
