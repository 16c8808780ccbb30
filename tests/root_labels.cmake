# The tests that skip without root (loop devices, mounts, other owners) carry
# the label `root` beside their own.
set_tests_properties(Reliability.FailedSyncKeepsTheCopyAndFails
                     Reliability.PowerCutAfterARunLosesNoFile PROPERTIES LABELS "stress;root")
set_tests_properties(ListedAttributes.OwnerAndSetIdBitsKept ListedOutput.RewritesWithoutProc
                     PROPERTIES LABELS "e2e;root")
