// BandwidthLimit: the token bucket's arithmetic, on a clock the test drives.
#include "platform/httpapi/BandwidthLimit.h"

#include <gtest/gtest.h>

using namespace httpapi;

TEST(BandwidthLimit, PacesToTheRate) {
    struct TStep {
        std::uint64_t Bytes;
        std::int64_t NowMs;
        std::int64_t ExpectedWait;
    };
    struct TCase {
        const char* Name;
        std::uint32_t Rate;
        std::vector<TStep> Steps;
    };
    const TCase Cases[] = {
        {"a second's burst goes at once", 1024, {{1024, 0, 0}}},
        {"one byte over the burst waits", 1000, {{1001, 0, 2}}},
        {"debt is paid at the rate", 1000, {{1000, 0, 0}, {500, 0, 501}, {500, 500, 501}}},
        {"time refills, up to the burst",
         1000,
         {{1000, 0, 0}, {1000, 1000, 0}, {0, 5000, 0}, {1000, 5000, 0}, {1, 5000, 2}}},
        {"a clock going back adds nothing", 2048, {{2048, 100, 0}, {1024, 50, 501}}},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        TBandwidthLimit Limit(Case.Rate);
        for (std::size_t I = 0; I < Case.Steps.size(); ++I) {
            const TStep& Step = Case.Steps[I];
            EXPECT_EQ(Limit.Take(Step.Bytes, Step.NowMs), Step.ExpectedWait)
                << Case.Name << " step " << I;
        }
    }
}
