// The private Slurm cluster that the tests of a split merge run against.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "slurmCluster.h"
#include "testSupport.h"

// Two array tasks write a file each, task 1 a second later; the job that depends on the
// array reads both, so it ran only after the whole array had succeeded.
TEST(SlurmCluster, RunsAJobAfterTheArrayItDependsOn)
{
    NEED_SLURM_CLUSTER();
    const std::string folder = makeScratchFolder();
    ToolOutcome array =
        runInSlurmCluster(folder, {"sbatch", "--parsable", "--array=0-1", "--output=task-%A-%a.log", "--wrap",
                                   "sleep $SLURM_ARRAY_TASK_ID; echo $SLURM_ARRAY_TASK_ID >task$SLURM_ARRAY_TASK_ID"});
    ASSERT_EQ(array.status, 0) << array.err;
    // For an array, --parsable prints the array's job id alone.
    const std::string arrayId = array.out.substr(0, array.out.find('\n'));
    ASSERT_EQ(array.out, arrayId + "\n");
    ASSERT_EQ(arrayId.find_first_not_of("0123456789"), std::string::npos) << arrayId;

    ToolOutcome last = runInSlurmCluster(folder, {"sbatch", "--wait", "--kill-on-invalid-dep=yes",
                                                  "--dependency=afterok:" + arrayId, "--output=last.log", "--wrap",
                                                  "cat task0 task1 >both"});
    EXPECT_EQ(last.status, 0) << last.out << last.err << readText(folder + "/last.log");
    EXPECT_EQ(readText(folder + "/both"), "0\n1\n");
    EXPECT_EQ(listFolder(folder), (std::vector<std::string>{"both", "last.log", "task-" + arrayId + "-0.log",
                                                            "task-" + arrayId + "-1.log", "task0", "task1"}));
}
