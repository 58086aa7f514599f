// The real kelvo-trace: scores and result texts as printed, face pictures as written, the face list,
// and its exit statuses.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <QImage>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

struct TRun {
    int fStatus;
    std::string fOut;
    std::string fErr;
};

TRun RunTrace(const QStringList& AArgs) {
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LC_ALL", "C");
    process.setProcessEnvironment(environment);
    process.start(KELVO_TRACE_PATH, AArgs);
    process.waitForFinished(60000);
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            process.readAllStandardOutput().toStdString(), process.readAllStandardError().toStdString()};
}

} // namespace

TEST(KelvoTrace, ScorePrintsTheScoreAsTheFaceCountsItAndTheResultText) {
    struct TRow {
        QStringList fArgs;
        std::string fOut;
    };
    const TRow rows[] = {
        {{"score", "--face", "AP10", "0,0", "8,0", "0,-80", "80.1,0"}, "109 10.9\n100 10.0\n10 1.0\n0 0.0\n"},
        {{"score", "--face=ipscclassic", "0,100", "200,0", "240,0"}, "5 A\n1 D\n0\n"},
        {{"score", "--face", "FITA80C", "20,0", "30,0", "81,0"}, "10 10\n9 9\n8 8\n"},
        {{"score", "--face", "PM25", "-0.5,1e1"}, "10 10\n"},
    };
    for (const TRow& row : rows) {
        const TRun run = RunTrace(row.fArgs);
        EXPECT_EQ(run.fStatus, 0) << run.fErr;
        EXPECT_EQ(run.fOut, row.fOut) << row.fArgs.join(' ').toStdString();
    }
}

TEST(KelvoTrace, FaceWritesThePictureOfTheCardAndListsTheFaces) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString ap = folder.filePath("ap.png");
    TRun run = RunTrace({"face", "AP10", "--size", "400", "--png", ap});
    ASSERT_EQ(run.fStatus, 0) << run.fErr;
    EXPECT_EQ(run.fErr, "");
    QImage picture(ap);
    ASSERT_EQ(picture.size(), QSize(400, 400));
    EXPECT_EQ(qGray(picture.pixel(200, 200)), 0); // the ten, inside the black area
    EXPECT_EQ(qGray(picture.pixel(2, 200)), 255); // the card beyond ring 1
    const QString body = folder.filePath("body.png");
    ASSERT_EQ(RunTrace({"face", "body", "--png", body}).fStatus, 0);
    EXPECT_EQ(QImage(body).size(), QSize(270, 800)); // 510 x 1510 mm, the longer side 800 pixels

    // A picture that cannot be written whole (here past a file-size limit) leaves the old one.
    const std::string write = "trap '' XFSZ; ulimit -f 4; " + std::string(KELVO_TRACE_PATH) +
                              " face AP10 --size 800 --png " + ap.toStdString() + " 2>&1";
    FILE* pipe = popen(write.c_str(), "r");
    char said[512] = {};
    const size_t n = fread(said, 1, sizeof said - 1, pipe);
    EXPECT_EQ(WEXITSTATUS(pclose(pipe)), 1);
    EXPECT_EQ(std::string(said, n).find("File too large"), std::string(said, n).size() - 15) << said;
    EXPECT_EQ(QImage(ap).size(), QSize(400, 400));

    run = RunTrace({"face", "--list"});
    EXPECT_EQ(run.fStatus, 0);
    EXPECT_EQ(std::count(run.fOut.begin(), run.fOut.end(), '\n'), 18);
    EXPECT_EQ(run.fOut.rfind("AP10         170 x 170    Air pistol\n", 0), 0u) << run.fOut;
    EXPECT_NE(run.fOut.find("BODY         510 x 1510   Body target #8\n"), std::string::npos);
}

TEST(KelvoTrace, UsageErrorsEndWithStatus2AndFailuresWith1) {
    const QStringList usageErrors[] = {
        {},
        {"draw"},
        {"score", "--face", "AP10"},
        {"score", "--face", "AP10", "1;2"},
        {"score", "--face", "NOPE", "1,2"},
        {"score", "1,2"},
        {"face", "AP10"},
        {"face", "AP10", "--size", "8", "--png", "x.png"},
        {"face", "--list", "AP10"},
        {"face", "AP10", "--png"},
        {"face", "AP10", "--colour", "red", "--png", "x.png"},
        {"face", "AP10", "--size", "100", "--size", "200", "--png", "x.png"},
        {"score", "--face", "AP10", "nan,0"},
        {"score", "--face", "AP10", "inf,0"},
        {"score", "--face", "AP10", "1e308,0"},
        {"score", "--face", "AP10", "-inf,-inf"},
    };
    for (const QStringList& args : usageErrors) {
        const TRun run = RunTrace(args);
        EXPECT_EQ(run.fStatus, 2) << args.join(' ').toStdString();
        EXPECT_EQ(run.fOut, "");
        EXPECT_EQ(run.fErr.rfind("kelvo-trace: ", 0), 0u) << run.fErr;
    }
    const TRun unwritable = RunTrace({"face", "AP10", "--png", "/nonexistent-folder/ap.png"});
    EXPECT_EQ(unwritable.fStatus, 1);
    EXPECT_NE(unwritable.fErr.find("cannot write /nonexistent-folder/ap.png"), std::string::npos)
        << unwritable.fErr;

    // Output that cannot be written is a failure that names its cause.
    for (const QString& command : {QString("score --face AP10 0,0"), QString("face --list")}) {
        QProcess process;
        process.setStandardOutputFile("/dev/full");
        process.start(KELVO_TRACE_PATH, command.split(' '));
        process.waitForFinished(60000);
        EXPECT_EQ(process.exitCode(), 1) << command.toStdString();
        EXPECT_EQ(process.readAllStandardError().toStdString(),
                  "kelvo-trace: cannot write to stdout: No space left on device\n");
    }

    EXPECT_EQ(RunTrace({"--version"}).fOut, "kelvo-trace 2.0\n");
    const TRun help = RunTrace({"score", "--help"});
    EXPECT_EQ(help.fStatus, 0);
    EXPECT_EQ(help.fOut.rfind("usage: kelvo-trace score", 0), 0u);
}
