#include "station/title_form.h"

#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>

namespace fleetburn {
namespace {

TEST(TitleFormLayout, ShowTitleOneShowsTheWorkOrderAndSerialFields) {
  const TTitleForm form(1);
  EXPECT_TRUE(form.layout().WOEditVisible);
  EXPECT_TRUE(form.layout().SNEditVisible);
  EXPECT_FALSE(form.layout().Edit1Visible || form.layout().Edit2Visible || form.layout().Edit3Visible);
  EXPECT_FALSE(form.layout().Label1Visible || form.layout().Label2Visible);
}

TEST(TitleFormLayout, ShowTitleTwoShowsThreeFieldsWithTheirDashes) {
  const TTitleForm form(2);
  EXPECT_FALSE(form.layout().WOEditVisible || form.layout().SNEditVisible);
  EXPECT_TRUE(form.layout().Edit1Visible && form.layout().Edit2Visible && form.layout().Edit3Visible);
  EXPECT_TRUE(form.layout().Label1Visible && form.layout().Label2Visible);
}

TEST(TitleFormLayout, AnyOtherValueShowsNoField) {
  const TTitleForm form(3);
  const TitleFormLayout& l = form.layout();
  EXPECT_FALSE(l.WOEditVisible || l.SNEditVisible || l.Edit1Visible || l.Edit2Visible || l.Edit3Visible ||
               l.Label1Visible || l.Label2Visible);
}

struct KeyCase {
  char32_t key;
  std::optional<char32_t> result;
};

std::ostream& operator<<(std::ostream& out, const KeyCase& c) { return out << static_cast<unsigned>(c.key); }

class AlphaNumKeys : public ::testing::TestWithParam<KeyCase> {};

TEST_P(AlphaNumKeys, PassChangeOrDropTheKey) { EXPECT_EQ(AlphaNumKeyPress(GetParam().key), GetParam().result); }

INSTANTIATE_TEST_SUITE_P(Table, AlphaNumKeys,
                         ::testing::Values(KeyCase{U'a', U'A'}, KeyCase{U'z', U'Z'}, KeyCase{U'Q', U'Q'},
                                           KeyCase{U'0', U'0'}, KeyCase{U'9', U'9'}, KeyCase{U'-', std::nullopt},
                                           KeyCase{U' ', std::nullopt}, KeyCase{U'~', std::nullopt},
                                           KeyCase{U'\x7F', std::nullopt}, KeyCase{U'\r', U'\r'},
                                           KeyCase{U'\b', U'\b'}, KeyCase{U'\x01', U'\x01'},
                                           KeyCase{U'\u00E9', U'\u00E9'}));

TEST(AlphaNumKeys, TypingABMinusOneGivesAB1) {
  std::u32string typed;
  for (const char32_t key : std::u32string(U"ab-1")) {
    if (const auto passed = AlphaNumKeyPress(key)) typed += *passed;
  }
  EXPECT_EQ(typed, U"AB1");
}

struct LengthCase {
  int tag;
  std::string text;
  std::string kept;
};

std::ostream& operator<<(std::ostream& out, const LengthCase& c) { return out << c.tag << " " << c.text; }

class FieldLengths : public ::testing::TestWithParam<LengthCase> {};

TEST_P(FieldLengths, CutALongerText) { EXPECT_EQ(Edit1Change(GetParam().tag, GetParam().text), GetParam().kept); }

INSTANTIATE_TEST_SUITE_P(Table, FieldLengths,
                         ::testing::Values(LengthCase{0, "1234567", "1234567"}, LengthCase{0, "12345678", "1234567"},
                                           LengthCase{1, "123456789", "1234"}, LengthCase{1, "12", "12"},
                                           LengthCase{2, "ABCDEFGHIJ", "ABCDEFG"}, LengthCase{2, "", ""},
                                           // Characters, not bytes, are counted.
                                           LengthCase{1, "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9",
                                                      "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"}));

struct TitleCase {
  const char* name;
  int showTitle;
  const char* wo;
  const char* sn;
  const char* e1;
  const char* e2;
  const char* e3;
  const char* text;
};

std::ostream& operator<<(std::ostream& out, const TitleCase& c) { return out << c.name; }

class TitleTexts : public ::testing::TestWithParam<TitleCase> {};

TEST_P(TitleTexts, JoinTheFieldsAtOk) {
  const TitleCase& c = GetParam();
  TTitleForm form(c.showTitle);
  form.WOEdit = c.wo;
  form.SNEdit = c.sn;
  form.Edit1 = c.e1;
  form.Edit2 = c.e2;
  form.Edit3 = c.e3;
  form.SNChkBx = true;
  form.OKBtnClick();
  EXPECT_EQ(form.modalResult(), ModalResult::OK);
  EXPECT_EQ(form.TitleText(), c.text);
  EXPECT_TRUE(form.TitleAutoInc());
}

INSTANTIATE_TEST_SUITE_P(
    Table, TitleTexts,
    ::testing::Values(TitleCase{"WorkOrderAndSerial", 1, "WO12", "SN34", "x", "y", "z", "WO12SN34"},
                      TitleCase{"ThreeFields", 2, "wo", "sn", "AB", "CD", "EF", "AB-CD-EF"},
                      TitleCase{"FirstAndLastOnly", 2, "", "", "AB", "", "EF", "ABEF"},
                      TitleCase{"FirstTwo", 2, "", "", "AB", "CD", "", "AB-CD"},
                      TitleCase{"LastTwo", 2, "", "", "", "CD", "EF", "CD-EF"},
                      TitleCase{"NoLayout", 0, "WO", "SN", "AB", "CD", "EF", ""}));

TEST(TitleForm, CancelKeepsTheInitialResults) {
  TTitleForm form(1);
  form.WOEdit = "WO";
  form.SNChkBx = true;
  form.CancelBtnClick();
  EXPECT_EQ(form.modalResult(), ModalResult::Cancel);
  EXPECT_EQ(form.TitleText(), "");
  EXPECT_FALSE(form.TitleAutoInc());

  devlib::SettingsRecord record;
  record.SerialNum.assign("KEEP");
  ApplyTitleForm(form, record);
  EXPECT_EQ(record.SerialNum.str(), "KEEP");
  EXPECT_EQ(record.SNAutoInc, 0);
}

TEST(TitleForm, OkHandsTheTextToTheSerialNumberCutToItsField) {
  TTitleForm form(1);
  form.WOEdit = "WORKORDER-0001";
  form.SNEdit = "SERIAL-000000001";
  form.SNChkBx = true;
  form.OKBtnClick();
  devlib::SettingsRecord record;
  ApplyTitleForm(form, record);
  EXPECT_EQ(record.SerialNum.str(), "WORKORDER-0001SERIAL-");
  EXPECT_EQ(record.SNAutoInc, 1);
}

TEST(TitleForm, AnEmptyTextKeepsTheSerialNumberButSetsAutoIncrease) {
  TTitleForm form(3);
  form.SNChkBx = false;
  form.OKBtnClick();
  devlib::SettingsRecord record;
  record.SerialNum.assign("KEEP");
  record.SNAutoInc = 1;
  ApplyTitleForm(form, record);
  EXPECT_EQ(record.SerialNum.str(), "KEEP");
  EXPECT_EQ(record.SNAutoInc, 0);
}

}  // namespace
}  // namespace fleetburn
