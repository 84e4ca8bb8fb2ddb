#include "tools/recover_groups.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "sequence/videoframe.h"

namespace zelrecover {

std::vector<std::string> StepsReadBefore(const std::string& until, int passes) {
    std::vector<std::string> groups = {"sweep", "refine", "init"};
    for (int p = 1; p <= passes; p++) {
        groups.push_back("bo" + std::to_string(p));
    }
    groups.push_back("bo");
    for (size_t g = 2; g < groups.size(); g++) {
        // Two groups back made them; the fusions and the stages' ends are read by their own
        // frame only.
        const std::string& made = groups[g - 2];
        if (groups[g] == until && made != "init") {
            return {made};
        }
    }
    return {};
}

std::string FirstStepOf(const std::string& until) {
    return until == "init" ? "fuse" : until == "bo" ? "bofuse" : until;
}

std::string Runs(const std::vector<int>& frames) {
    std::string text;
    for (size_t a = 0; a < frames.size();) {
        size_t b = a;
        while (b + 1 < frames.size() && frames[b + 1] == frames[b] + 1) {
            b++;
        }
        text += (text.empty() ? "" : ", ") + std::to_string(frames[a]);
        if (b > a) {
            text += ":" + std::to_string(frames[b]);
        }
        a = b + 1;
    }
    return text.empty() ? "-" : text;
}

void PrintPlan(const char* name, const ZelStagePlan& plan, int first, int last,
               const ZelStepJournal* there) {
    std::printf("%s: frames %d:%d\n", name, first, last);
    if (std::string(name) == "bo") {
        // Those not there yet: their init shards have not run (or not to the end).
        std::vector<int> missing;
        for (int i : plan.reads) {
            std::error_code ec;
            const std::string path = CZelVideoFrame::dataDir + "_init" + std::to_string(i) + ".raw";
            if (!std::filesystem::exists(path, ec)) {
                missing.push_back(i);
            }
        }
        std::printf("  reads    DATA/_init<i>.raw of %s; not there yet: %s\n",
                    Runs(plan.reads).c_str(), Runs(missing).c_str());
    }
    for (const ZelStepPlan& step : plan.steps) {
        std::vector<int> own;
        std::vector<int> halo;
        for (int i : step.compute) {
            (i >= first && i <= last ? own : halo).push_back(i);
        }
        std::printf("  %-8s computes %s; halo %s (%zu frames)", step.name.c_str(),
                    Runs(own).c_str(), Runs(halo).c_str(), halo.size());
        if (!step.load.empty()) {
            std::printf("; kept %s", Runs(step.load).c_str());
            if (there != nullptr) {
                std::vector<int> missing;
                for (int i : step.load) {
                    if (!there->Done(step.name, i)) {
                        missing.push_back(i);
                    }
                }
                std::printf(" (not there yet: %s)", Runs(missing).c_str());
            }
        }
        std::printf("\n");
    }
}

}  // namespace zelrecover
