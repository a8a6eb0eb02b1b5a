#include "platform/AlertPresenter.h"

#include "platform/Strings.h"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

using namespace norvane;

namespace {

using Keys = std::vector<std::string>;

class AlertPresenterTest : public ::testing::Test {
protected:
    void SetUp() override { Strings::reload({ "ja", "" }); }
    void TearDown() override
    {
        Strings::reload();
        AlertPresenter::setShared(nullptr);
    }
};

} // namespace

TEST_F(AlertPresenterTest, RecordingKeepsEveryAlertAndAnswersFromTheScript)
{
    RecordingAlertPresenter presenter(1);
    presenter.scriptAnswers({ 0, 2, 7 });

    presenter.show("alert", "message_copy_or_move_failed", "report.pdf");
    EXPECT_EQ(presenter.ask("", "message_question_file_exist_update", { "alert_yes", "alert_no" }, "a.txt\nb.txt"), 0u);
    EXPECT_EQ(presenter.ask("", "can_other_edit_message", { "alert_yes", "alert_no", "alert_cancel" }), 2u);
    // A scripted answer beyond the buttons is held to the last one rather than handed on.
    EXPECT_EQ(presenter.ask("", "need_relogin", { "word_sign_out", "alert_cancel" }), 1u);
    // The script is used up: the default answer follows.
    EXPECT_EQ(presenter.ask("", "need_relogin", { "word_sign_out", "alert_cancel" }), 1u);
    // A question without buttons still has one way out.
    EXPECT_EQ(presenter.ask("word_other_error", "", {}), 0u);

    auto records = presenter.records();
    ASSERT_EQ(records.size(), 6u);
    EXPECT_EQ(
        records[0].alert, (Alert { Alert::Kind::Show, "alert", "message_copy_or_move_failed", "report.pdf", {} }));
    EXPECT_EQ(records[1].alert,
        (Alert { Alert::Kind::Ask, "", "message_question_file_exist_update", "a.txt\nb.txt",
            Keys { "alert_yes", "alert_no" } }));
    EXPECT_EQ(records[2].answer, 2u);
    EXPECT_EQ(records[3].answer, 1u);
    EXPECT_EQ(records[5].alert.buttonKeys, Keys { "alert_ok" });
}

TEST_F(AlertPresenterTest, SharedRecorderLetsATestWaitForAlertsFromWorkers)
{
    EXPECT_NE(dynamic_cast<StderrAlertPresenter*>(AlertPresenter::shared().get()), nullptr);
    auto presenter = std::make_shared<RecordingAlertPresenter>();
    AlertPresenter::setShared(presenter);
    std::thread worker([] {
        AlertPresenter::shared()->show("", "message_net_timeout");
        AlertPresenter::shared()->ask("", "need_relogin", { "word_sign_out", "alert_cancel" });
    });
    EXPECT_TRUE(presenter->waitForCount(2));
    worker.join();
    EXPECT_FALSE(presenter->waitForCount(3, std::chrono::milliseconds(1)));
    auto alerts = presenter->alerts();
    ASSERT_EQ(alerts.size(), 2u);
    EXPECT_EQ(alerts[0].messageKey, "message_net_timeout");
    EXPECT_EQ(alerts[1].kind, Alert::Kind::Ask);

    AlertPresenter::setShared(nullptr);
    EXPECT_NE(dynamic_cast<StderrAlertPresenter*>(AlertPresenter::shared().get()), nullptr);
}

TEST_F(AlertPresenterTest, StderrPrintsLocalisedTexts)
{
    std::ostringstream out;
    StderrAlertPresenter presenter(StderrAlertPresenter::Policy::Prompt, out, nullptr);
    presenter.show("alert", "file_not_exist");
    presenter.show("", "message_copy_or_move_failed", "report.pdf");
    presenter.show("some server text", "");
    EXPECT_EQ(out.str(),
        "注意\nファイルが存在しません。\n"
        "コピーまたは移動できませんでした: report.pdf\n"
        "some server text\n");
}

TEST_F(AlertPresenterTest, StderrPoliciesPickByMeaningNotPosition)
{
    using P = StderrAlertPresenter::Policy;
    const Keys overwrite { "alert_yes", "alert_no" };
    const Keys deletion { "alert_cancel", "menu_file_delete" };
    const Keys drop { "alert_yes", "alert_no", "alert_cancel" };

    EXPECT_EQ(StderrAlertPresenter::policyAnswer(P::Yes, overwrite), 0u);
    EXPECT_EQ(StderrAlertPresenter::policyAnswer(P::Yes, deletion), 1u);
    EXPECT_EQ(StderrAlertPresenter::policyAnswer(P::No, overwrite), 1u);
    EXPECT_EQ(StderrAlertPresenter::policyAnswer(P::No, drop), 1u);
    // Nobody to ask: the answer that changes nothing, even where it is not the last button.
    EXPECT_EQ(StderrAlertPresenter::policyAnswer(P::Prompt, deletion), 0u);
    EXPECT_EQ(StderrAlertPresenter::policyAnswer(P::Prompt, drop), 2u);
    EXPECT_EQ(StderrAlertPresenter::policyAnswer(P::Prompt, overwrite), 1u);

    std::ostringstream out;
    StderrAlertPresenter yes(P::Yes, out, nullptr);
    EXPECT_EQ(yes.ask("", "message_question_null_folder_delete", deletion, "old"), 1u);
    EXPECT_NE(out.str().find("削除しますか？old\n-> 削除\n"), std::string::npos) << out.str();
}

TEST_F(AlertPresenterTest, StderrPromptReadsTheChoice)
{
    std::ostringstream out;
    std::istringstream in("7\nmaybe\n 2 \nno\nいいえ\n");
    StderrAlertPresenter presenter(StderrAlertPresenter::Policy::Prompt, out, &in);
    const Keys keys { "alert_yes", "alert_no", "alert_cancel" };

    EXPECT_EQ(presenter.ask("", "can_other_edit_message", keys), 1u); // after two refused lines
    EXPECT_NE(out.str().find("  1) はい\n  2) いいえ\n  3) キャンセル\nChoose 1-3: "), std::string::npos) << out.str();
    EXPECT_EQ(presenter.ask("", "can_other_edit_message", { "word_sign_out", "alert_cancel" }), 1u); // end of input

    std::istringstream byLabel("いいえ\n");
    StderrAlertPresenter labelled(StderrAlertPresenter::Policy::Prompt, out, &byLabel);
    EXPECT_EQ(labelled.ask("", "can_other_edit_message", keys), 1u);
}
