// Base identifiers of the string table (the Polish text; English at + 1, German at + 2).
// Pass them to LoadText(); the comment gives the English text.
#pragma once

namespace vq {

inline constexpr int kTextControlTypeName = 1;   // "Veriquill Control" (no language offset)
inline constexpr int kTextPropPageTypeName = 2;  // "Veriquill Property Page" (no language offset)

inline constexpr int kTextIssuedFor = 210;             // "Issued for:"
inline constexpr int kTextIssuedBy = 213;              // "Issued by:"
inline constexpr int kTextSelectCertificate = 216;     // "Select certificate"
inline constexpr int kTextKeyNameInUse = 222;          // "This key name is already in use"
inline constexpr int kTextIncorrectPassword = 225;     // "Incorrect password"
inline constexpr int kTextMessageCaption = 228;        // message box caption: always empty
inline constexpr int kTextOrderParameter = 231;        // "order parameter:"
inline constexpr int kTextOrderValue = 234;            // "value"
inline constexpr int kTextKeyNameTooLong = 237;        // "Key name is too long"
inline constexpr int kTextEnterKeyName = 240;          // "Enter key name"
inline constexpr int kTextEnterCertificateName = 243;  // "Enter certificate name"
inline constexpr int kTextPasswordTooShort = 246;      // "Password too short"
inline constexpr int kTextIncorrectPin = 249;          // "Incorrect PIN"
inline constexpr int kTextEnterPin = 252;              // "Enter PIN"
inline constexpr int kTextInsertCard = 255;            // "Insert card into the reader"
inline constexpr int kTextPinTooShortMinimum = 258;    // "PIN too short (minimum 4 characters)"
inline constexpr int kTextCertificateGroup = 261;      // "Select certificate from the list and
                                                       //  enter name to be used in the system"
inline constexpr int kTextCertificateList = 264;       // "List of certificates"
inline constexpr int kTextNewKeyLocation = 267;        // "Location of the new key"
inline constexpr int kTextEnterKeyNameLabel = 270;     // "Enter key name:"
inline constexpr int kTextFormatted = 279;             // "Formatted"
inline constexpr int kTextBeingSigned = 282;           // "Being signed"
inline constexpr int kTextSelectKeyToSign = 285;       // "Select key to sign:"
inline constexpr int kTextKeyPasswordLabel = 288;      // "Password for the key:"
inline constexpr int kTextSignButton = 291;            // "&Sign"
inline constexpr int kTextCancelButton = 294;          // "&Cancel"
inline constexpr int kTextSignOrder = 297;             // "Sign order"
inline constexpr int kTextExpand = 300;                // "Expand"
inline constexpr int kTextCollapse = 303;              // "Collapse"
inline constexpr int kTextOrderContent = 306;          // "Order content:"
inline constexpr int kTextOk = 309;                    // "OK"
inline constexpr int kTextPassword = 312;              // "Password"
inline constexpr int kTextKeyboard = 315;              // "Keyboard"
inline constexpr int kTextBankRepository = 324;        // "Bank`s repository"
inline constexpr int kTextLocalStorage = 330;          // "Local storage"
inline constexpr int kTextKeysFilter = 339;            // "Keys"
inline constexpr int kTextAllFilter = 342;             // "All"
inline constexpr int kTextGenerateButton = 345;        // "&Generate"
inline constexpr int kTextNameLabel = 348;             // "Name:"
inline constexpr int kTextTypePin = 399;               // "Please type the PIN code."
inline constexpr int kTextPin = 402;                   // "PIN"
inline constexpr int kTextPinsDiffer = 411;            // "PINs differ"
inline constexpr int kTextChangePin = 414;             // "Change PIN"
inline constexpr int kTextPuk = 423;                   // "PUK"
inline constexpr int kTextNewPuk = 426;                // "New PUK"
inline constexpr int kTextChangePuk = 432;             // "Change PUK"
inline constexpr int kTextInvalidPin = 441;            // "Invalid PIN"
inline constexpr int kTextInvalidNewPin = 444;         // "Invalid new PIN"
inline constexpr int kTextPuksDiffer = 450;            // "PUKs differ"
inline constexpr int kTextUnblockCard = 456;           // "Unblock card"
inline constexpr int kTextPrintPuk = 465;              // "Print PUK?"
inline constexpr int kTextSelectReader = 510;          // "Select reader"
inline constexpr int kTextPukCode = 525;               // "PUK Code: %s"
inline constexpr int kTextKeyNameCharacters = 531;     // "Incorect characters at key name"
inline constexpr int kTextLoginPassword = 538;         // "Please enter the password for logging
                                                       //  into the Quorral system:"
inline constexpr int kTextLoginNote = 541;             // "To finish the logging operation, it is
                                                       //  required to generate an electronic
                                                       //  signature."
inline constexpr int kTextSelectKeyLabel = 544;        // "Select key"
inline constexpr int kTextSelectKeyTitle = 547;        // "Select key"
inline constexpr int kTextEnterKeyPassword = 550;      // "Enter password for the key"
inline constexpr int kTextKeyFileNotFound = 553;       // "The private key file has not been found.
                                                       //  Please specify the key's location."
inline constexpr int kTextKeyBlocked = 556;            // "The selected key is blocked. Three times
                                                       //  in a row an incorrect password to the key
                                                       //  has been entered or the key has been
                                                       //  blocked by the Bank."
inline constexpr int kTextMinPasswordLength = 568;     // "Minimum password length is %d chars"
inline constexpr int kTextWrongPasswordOrFile = 571;   // "Incorrect password or inappropriate file
                                                       //  with a key has been indicated."
inline constexpr int kTextCardNotInitialized = 604;    // "Card not initialized"
inline constexpr int kTextWrongPukLength = 607;        // "Wrong PUK length. PUK length must be 8
                                                       //  characters."
inline constexpr int kTextKeyNameColumn = 613;         // "Key Name"
inline constexpr int kTextDigestColumn = 616;          // "Digest"
inline constexpr int kTextKeyTypeColumn = 619;         // "Key type"
inline constexpr int kTextPrivateKey = 622;            // "Private key"
inline constexpr int kTextPublicKey = 625;             // "Public key"
inline constexpr int kTextRemove = 628;                // "Remove"
inline constexpr int kTextClose = 631;                 // "Close"
inline constexpr int kTextSelectKeysToRemove = 634;    // "Select keys to remove" (message)
inline constexpr int kTextRemoveKeysTitle = 637;       // "Select keys to remove" (title)
inline constexpr int kTextPukTooShort = 640;           // "PUK too short"
inline constexpr int kTextKeyPair = 658;               // "Key Pair"
inline constexpr int kTextSelectDeviceInfo = 660;      // "Please, select the device or disconnect
                                                       //  unused devices."
inline constexpr int kTextDeviceTypeColumn = 662;      // "Device type "
inline constexpr int kTextSerialNumberColumn = 664;    // "Serial number "
inline constexpr int kTextAccept = 666;                // "Accept"
inline constexpr int kTextDeviceInitialization = 668;  // "Initialization of cryptographic device"
inline constexpr int kTextInitializeDeviceFirst = 670;  // "To commence using cryptographic device,
                                                        //  it is required to initialize it
                                                        //  beforehand (by assigning PIN and PUK
                                                        //  codes)."
inline constexpr int kTextPinPukInformation = 672;      // "PIN code is a 4-digit code which ..."
                                                        //  (three paragraphs)
inline constexpr int kTextSmartCard = 674;              // "SmartCard"
inline constexpr int kTextUsbDevice = 676;              // "USB Device"
inline constexpr int kTextConnectReader = 678;          // "Connect the smart card reader to the
                                                        //  computer"
inline constexpr int kTextKeyNotOnCard = 680;       // "The key specified name has not been found
                                                    //  on the card"
inline constexpr int kTextConnectUsbDevice = 682;   // "Connect the USB cyptographic device to
                                                    //  the computer"
inline constexpr int kTextKeyNotOnUsbDevice = 684;  // "The key specified name has not been found
                                                    //  on the USB cryptographic device"
inline constexpr int kTextEnterCurrentPin = 686;    // "Enter current PIN code"
inline constexpr int kTextEnterPuk = 688;           // "Enter PUK (unblocking code)"
inline constexpr int kTextUnblockUsbDevice = 690;   // "Unblock USB device"
inline constexpr int kTextRefresh = 693;            // "Refresh"
inline constexpr int kTextFile = 699;               // "File"
inline constexpr int kTextUsbCryptographicDevice = 701;    // "USB Cryptographic device"
inline constexpr int kTextKeyGeneration = 703;             // "Key generation"
inline constexpr int kTextPinCodeLabel = 705;              // "PIN code:"
inline constexpr int kTextDeviceAlreadyInitialized = 709;  // "Note: this device is already
                                                           //  initialized! ... Do you wish to
                                                           //  continue?" (two lines)
inline constexpr int kTextWrongPinLength = 711;  // "Wrong PIN length. PIN length must be exactly 4
                                                 //  characters."
inline constexpr int kTextPinTooShort = 713;     // "PIN too short"
inline constexpr int kTextRepeatNewPuk = 715;    // "Repeat new PUK"
inline constexpr int kTextNewPin = 717;          // "New PIN"
inline constexpr int kTextRepeatNewPin = 719;    // "Repeat new PIN"
inline constexpr int kTextPukLetterWarning = 721;     // two line breaks, "It is essential to
                                                      //  remember that PIN ... is stolen or lost."
inline constexpr int kTextInstallReaderDriver = 730;  // "To use the key, please install the
                                                      //  driver for cryptographic device."
inline constexpr int kTextInstallTokenDriver = 732;   // "To use the key, please install the
                                                      //  driver for USB cryptographic device."
inline constexpr int kTextFileNameNotUsable = 745;    // "The selected file cannot be used because
                                                      //  its name or the name of its folder
                                                      //  contains unsupported characters. ..."
inline constexpr int kTextPukLetterIntro = 797;       // "PUK code - a personal unlock code. ...
                                                      //  use it again." and two line breaks
inline constexpr int kTextPukNotWithPolicy = 1007;    // "PUK not with security policy"

}  // namespace vq
