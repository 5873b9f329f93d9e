#pragma once
// Localised texts that other code composes into messages, notices and records. Each starts
// with its built-in English wording, which stands until a language file is applied.

#include <QString>

namespace tarvok {

struct TextHolders {
    QString policy = QStringLiteral("Policy:");                      // Main 70
    QString established = QStringLiteral("Established:");            // Main 71
    QString received = QStringLiteral("Received");                   // Main 65
    QString sent = QStringLiteral("Sent");                           // Main 66
    QString in = QStringLiteral("In:");                              // Main 72
    QString out = QStringLiteral("Out:");                            // Main 73
    QString localPort = QStringLiteral("Local Port");                // Main 50
    QString service = QStringLiteral("Service");                     // Main 53
    QString time = QStringLiteral("Time:");                          // Main 109
    QString thisEvent = QStringLiteral("This event was performed by rule:"); // Main 110
    QString hasBlocked = QStringLiteral("Tarvok has blocked activity to your computer!"); // Main 108
    QString deleteRule = QStringLiteral("Do you want to delete the selected rule?");     // Main 87
    QString unableClose = QStringLiteral("Unable to close connection");                  // Main 88
    QString wantClose = QStringLiteral("Do you want to close the selected connection:"); // Main 89
    QString wantKill = QStringLiteral("Do you want to kill the selected process");       // Main 92
    QString unableKill = QStringLiteral("Unable to kill selected process");              // Main 94
    QString newVersion = QStringLiteral("New version available!");                       // Main 105
    QString wantDownload = QStringLiteral("Would you like to download it from our website?"); // Main 106
    QString version = QStringLiteral("Version:");                    // About 2
    QString remoteAddress = QStringLiteral("Remote Address:");       // Add 4
    QString remotePort = QStringLiteral("Remote Port:");             // Add 7
    QString anyAddress = QStringLiteral("any address");              // Add 5
    QString simpleAddress = QStringLiteral("single address");        // Add 6
    QString anyPort = QStringLiteral("any port");                    // Add 8
    QString simplePort = QStringLiteral("single port");              // Add 9
    QString noLog = QStringLiteral("disabled");                      // Add 12
    QString enabled = QStringLiteral("true");                        // Add 14
    QString disabled = QStringLiteral("false");                      // Add 15
    QString accept = QStringLiteral("accept");                       // Add 17
    QString rule1 = QStringLiteral("Rule:");                         // Add 29
    QString rule2 = QStringLiteral("Rule #");                        // Add 27
    QString theFollowing = QStringLiteral("The following processes are using the network:"); // Alert 1
    QString process = QStringLiteral("Process");                     // Alert 2
    QString trust = QStringLiteral("Trust");                         // Alert 3
    QString fileDetails = QStringLiteral("File Details");            // Alert 4
    QString killProcess = QStringLiteral("Kill Process!");           // Alert 5

    bool operator==(const TextHolders&) const = default;
};

} // namespace tarvok
