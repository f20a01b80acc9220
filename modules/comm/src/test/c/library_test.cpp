// The library object: context, reader listing and lookup, file paths, ownership.
#include "comm_test_support.h"

using namespace CommTest;

namespace {

class Library : public ScriptedTest {};

TEST_F(Library, OneLibraryNamePassedThrough) {
    Script s;
    s.Establish().Release().Establish().Release();
    PcscMock::Install(s);
    SZidaZaru::SCardFactory factory;
    EXPECT_EQ(factory.ListLibraries(), std::vector<std::string>{"__zidazaru__"});
    EXPECT_EQ(factory.OpenLibrary("")->GetName(), "__zidazaru__");
    auto other = factory.OpenLibrary("anything");
    EXPECT_EQ(other->GetName(), "anything");
    EXPECT_FALSE(other->HasCapability());
}

TEST_F(Library, ServiceNotRunningIsASystemCallFailure) {
    Script s;
    s.Establish(SCARD_E_NO_SERVICE);
    PcscMock::Install(s);
    SZidaZaru::SCardFactory factory;
    auto e = Raised([&] { factory.OpenLibrary(""); });
    EXPECT_EQ(e.message(), "error calling SCardEstablishContext");
    EXPECT_EQ(static_cast<uint32_t>(e.code()), 0x8010001Du);
    EXPECT_STREQ(e.what(), "error calling SCardEstablishContext (0x8010001d) (0x0)");
}

TEST_F(Library, ListingSplitsTheMultiStringAndNoReadersIsEmpty) {
    Script s;
    s.Establish()
        .List({"Reader A 00 00", "VASCO DIGIPASS 870 00 00", "Reader A 00 01"})
        .ListCall(SCARD_E_NO_READERS_AVAILABLE)
        .List({})
        .Release();
    PcscMock::Install(s);
    auto library = SZidaZaru::SCardFactory().OpenLibrary("");
    EXPECT_EQ(library->ListReaders(),
              (std::vector<std::string>{"Reader A 00 00", "VASCO DIGIPASS 870 00 00", "Reader A 00 01"}));
    EXPECT_TRUE(library->ListReaders().empty());
    EXPECT_TRUE(library->ListReaders().empty());
}

TEST_F(Library, ListingFailureOtherThanNoReadersRaises) {
    Script s;
    s.Establish().ListCall(SCARD_E_NO_SERVICE).Release();
    PcscMock::Install(s);
    auto library = SZidaZaru::SCardFactory().OpenLibrary("");
    auto e = Raised([&] { library->ListReaders(); });
    EXPECT_EQ(e.message(), "error calling SCardListReaders");
    EXPECT_EQ(static_cast<uint32_t>(e.code()), 0x8010001Du);
}

TEST_F(Library, ReaderAddedBetweenSizeQueryAndFillIsListedAgain) {
    Script s;
    // The size query reports room for one name; by the fill a second reader has appeared.
    s.Establish()
        .ListCall(SCARD_S_SUCCESS, {"A 00 00"})
        .ListCall(SCARD_S_SUCCESS, {"A 00 00", "B 00 00"})
        .List({"A 00 00", "B 00 00"})
        .Release();
    PcscMock::Install(s);
    auto library = SZidaZaru::SCardFactory().OpenLibrary("");
    EXPECT_EQ(library->ListReaders(), (std::vector<std::string>{"A 00 00", "B 00 00"}));
}

TEST_F(Library, ReaderLookupIsExactAndEachCallGivesAFreshReader) {
    Script s;
    s.Establish().List({"Reader A 00 00"}).List({"Reader A 00 00"}).List({"Reader A 00 00"}).Release();
    PcscMock::Install(s);
    auto library = SZidaZaru::SCardFactory().OpenLibrary("");
    EXPECT_EQ(library->GetReader("reader a 00 00"), nullptr);
    auto first = library->GetReader("Reader A 00 00");
    auto second = library->GetReader("Reader A 00 00");
    ASSERT_NE(first, nullptr);
    EXPECT_NE(first, second);
    EXPECT_FALSE(first->IsPinPadReader());
}

TEST_F(Library, ContextLivesAsLongAsAnyReader) {
    Script s;
    s.Establish().List({"VASCO DIGIPASS 870 00 00"}).Release();
    PcscMock::Install(s);
    std::shared_ptr<CommBase::ICommReader> reader;
    {
        auto library = SZidaZaru::SCardFactory().OpenLibrary("");
        reader = library->GetReader("VASCO DIGIPASS 870 00 00");
    }
    EXPECT_EQ(PcscMock::Consumed(), 3u);  // the context is not released with the library pointer
    EXPECT_TRUE(reader->IsPinPadReader());
    reader.reset();
    EXPECT_EQ(PcscMock::Consumed(), 4u);
}

TEST_F(Library, FilePathTable) {
    Script s;
    s.Establish().Release();
    PcscMock::Install(s);
    auto library = SZidaZaru::SCardFactory().OpenLibrary("");
    EXPECT_EQ(library->GetFilePath(0, 7), "__signature__");
    EXPECT_EQ(library->GetFilePath(1, 0), "__authentication__");
    EXPECT_EQ(library->GetFilePath(2, 1), std::string("\x3F\x00\xDF\x00\x50\x39", 6));
    EXPECT_EQ(library->GetFilePath(8, 1), std::string("\x3F\x00\xDF\x01\x40\x35", 6));
    EXPECT_EQ(library->GetFilePath(2, 3), std::string("\x50\x15\x43\x04\xC0\x01", 6));
    EXPECT_EQ(library->GetFilePath(6, 3), library->GetFilePath(7, 3));
    EXPECT_EQ(library->GetFilePath(9, 1), "");
    EXPECT_EQ(library->GetFilePath(2, 0), "");
    EXPECT_EQ(library->GetFilePath(2, 2), "");
}

}  // namespace
