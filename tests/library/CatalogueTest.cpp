#include <corvane/voicemod/VoicemodExtension.h>

#include <new>
#include <string>
#include <vector>

#include "AllocationCounter.h"
#include "Fixture.h"

using corvane::LogLevel;
using corvane::extensions::voicemod::VoicemodError;
using corvane::extensions::voicemod::VoicemodExtension;

using Catalogue = LibraryTest;

TEST_F(Catalogue, ListsNamesInTheSdksOrderWithDuplicatesKept) {
    const std::string longest(254, 'n');
    recording::script().voiceNames = {"Robot", "Cave", "Robot", longest, ""};

    const auto voices = VoicemodExtension::listVoices();

    EXPECT_EQ(voices, (std::vector<std::string>{"Robot", "Cave", "Robot", longest, ""}));
    const auto* count = recording::firstCall("vcmdGetNumberOfVoices");
    ASSERT_NE(count, nullptr);
    EXPECT_EQ(count->numbers, (std::vector<double>{1, 0}));  // selector 1, count preset to 0
    const auto* names = recording::firstCall("vcmdGetVoiceNames");
    ASSERT_NE(names, nullptr);
    EXPECT_EQ(names->numbers, (std::vector<double>{5, 255, 1}));
    for (const void* buffer : names->pointers) EXPECT_NE(buffer, nullptr);
}

TEST_F(Catalogue, ZeroVoicesStillAsksForTheNamesWithACountOfZero) {
    EXPECT_TRUE(VoicemodExtension::listVoices().empty());
    const auto* names = recording::firstCall("vcmdGetVoiceNames");
    ASSERT_NE(names, nullptr);
    EXPECT_EQ(names->numbers.at(0), 0);
    EXPECT_NE(names->pointers.at(0), nullptr);  // never a null array
}

TEST_F(Catalogue, ANameFillingItsWholeBufferIsReadNoFurtherThanTheBuffer) {
    recording::script().voiceNames = {"Robot", "Cave"};
    recording::script().fillNamesWithoutNul = true;
    std::vector<std::string> voices;
    {
        allocation::Counting counting;  // gives the buffers a non-NUL tail
        voices = VoicemodExtension::listVoices();
    }
    ASSERT_EQ(voices.size(), 2u);
    EXPECT_EQ(voices[0], "Robot" + std::string(250, 'x'));
    EXPECT_EQ(voices[1].size(), 255u);
}

TEST_F(Catalogue, TakesCountPlusOneHeapBlocksAndGivesEveryOneBack) {
    recording::script().voiceNames = {"a", "b", "c", "d", "e", "f", "g"};
    allocation::Counts counts;
    {
        allocation::Counting counting;
        const auto voices = VoicemodExtension::listVoices();
        counts = counting.counts();
        ASSERT_EQ(voices.size(), 7u);
    }
    EXPECT_EQ(counts.mallocs, 8u);
    EXPECT_EQ(counts.frees, 8u);
    EXPECT_EQ(counts.mallocBytes, 7 * sizeof(char*) + 7 * 255u);
}

TEST_F(Catalogue, AFailedNameCallGivesBackEveryBufferAndThrowsItsCode) {
    recording::script().voiceNames = {"a", "b", "c"};
    recording::script().results["vcmdGetVoiceNames"] = -9;
    recording::script().descriptions = {{-9, "buffer too small"}};
    allocation::Counts counts;
    {
        allocation::Counting counting;
        try {
            VoicemodExtension::listVoices();
            ADD_FAILURE() << "no exception";
        } catch (const VoicemodError& error) {
            EXPECT_EQ(error.code(), -9);
            EXPECT_STREQ(error.what(), "Error on vcmdGetVoiceNames:buffer too small");
        }
        counts = counting.counts();
    }
    EXPECT_EQ(counts.mallocs, 4u);
    EXPECT_EQ(counts.frees, 4u);
    EXPECT_EQ(log->messages(LogLevel::Error), std::vector<std::string>{"Error on vcmdGetVoiceNames:buffer too small"});
}

TEST_F(Catalogue, AFailedCountAllocatesNothingAndAsksForNoNames) {
    recording::script().results["vcmdGetNumberOfVoices"] = -1;
    allocation::Counts counts;
    {
        allocation::Counting counting;
        EXPECT_THROW(VoicemodExtension::listVoices(), VoicemodError);
        counts = counting.counts();
    }
    EXPECT_EQ(counts.mallocs, 0u);
    EXPECT_EQ(recording::countOf("vcmdGetVoiceNames"), 0u);
}

TEST_F(Catalogue, MemoryThatCannotBeHadIsGivenBackAndReportedAsBadAlloc) {
    recording::script().voiceNames = {"a", "b", "c", "d"};
    // Fail the pointer array (0), the first buffer (1) and the last one (4).
    for (long failAt : {0L, 1L, 4L}) {
        SCOPED_TRACE(failAt);
        recording::calls().clear();
        log->clear();
        allocation::Counts counts;
        {
            allocation::Counting counting(failAt);
            EXPECT_THROW(VoicemodExtension::listVoices(), std::bad_alloc);
            counts = counting.counts();
        }
        EXPECT_EQ(counts.frees, static_cast<std::size_t>(failAt));  // everything taken, given back
        EXPECT_EQ(recording::countOf("vcmdGetVoiceNames"), 0u);   // no null buffer handed on
        EXPECT_EQ(log->messages(LogLevel::Error).size(), 1u);
    }
}
