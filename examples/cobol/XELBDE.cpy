      * SPDX-License-Identifier: MIT
      *================================================================
      * XELBDE.cpy: the fields of the terminal API library xelbde for
      * COBOL programs. COPY it into the WORKING-STORAGE SECTION.
      *
      * How to call:
      *   CALL "APTYP01B" USING XEL-TERMINAL XEL-TYPE XEL-RC
      *        RETURNING NOTHING
      * - text fields BY REFERENCE (the default), blank-padded unless
      *   a comment below says the name must end with X"00";
      * - numbers (the version length of APDMTVER, MaxDiff of APSYNHST)
      *   BY VALUE, as 32-bit binary (BINARY-LONG UNSIGNED): passed BY
      *   REFERENCE the library takes the field's address for the
      *   number (APDMTVER then writes far beyond the version area);
      * - OMITTED for the optional areas (the type of APALC00B and
      *   APDLC00B, the free memory of APFMT00B, type and class of
      *   APDNP00B);
      * - RETURNING NOTHING: the functions return no value, and
      *   without it RETURN-CODE takes whatever the call left behind.
      * Every function writes two digits into XEL-RC, its last
      * parameter: "00" is success (see the manual page xelbde(3)).
      *================================================================
      * The terminal: a name (its first 10 characters count) or a
      * dotted IPv4 address (up to 15), blank-padded. The library
      * looks at up to 15 characters, so the field has 15.
       01  XEL-TERMINAL             PIC X(15).
      * The return code of every call.
       01  XEL-RC                   PIC X(2).
           88  XEL-OK               VALUE "00".
      * APALC00B, APDLC00B: a type for the log, 2 characters (or
      * OMITTED).
       01  XEL-CONNECT-TYPE         PIC X(2).
      * APTYP01B: the model designation, padded with X"00".
       01  XEL-TYPE                 PIC X(10).
      * APDMTVER: the version text; its length goes BY VALUE.
       01  XEL-VERSION              PIC X(64).
       01  XEL-VERSION-LENGTH       USAGE BINARY-LONG UNSIGNED
                                    VALUE 64.
      * APRTVCLK: the terminal's clock YYMMDDHHMMSS, its date format
      * and its radio-clock status (W or S: synchronised).
       01  XEL-CLOCK                PIC X(12).
       01  XEL-DATE-FORMAT          PIC X.
       01  XEL-RADIO-CLOCK          PIC X.
      * APSCL00B: HHMMSSDDMMYY, or *SYSVAL and five blanks for the
      * host's local time; the date format the terminal is to use.
       01  XEL-SET-TIME             PIC X(12) VALUE "*SYSVAL".
       01  XEL-TIME-FORMAT          PIC X VALUE "1".
      * APSYNHST: the largest difference in minutes, BY VALUE.
       01  XEL-MAX-DIFF             USAGE BINARY-LONG UNSIGNED
                                    VALUE 90.
      * APFMT00B: free memory, 4 characters (or OMITTED).
       01  XEL-FREE-MEMORY          PIC X(4).
      * APRST00B: the two raw status bytes.
       01  XEL-STATUS               PIC X(2).
      * Host file names, at most 259 characters. APDIR00B, APDNP00B
      * and APSYSDNL take them up to the first blank. APUPL00B,
      * APDNLOAD, APRDRTYP and APDSPPGE take them as they are, up to
      * X"00": end the name with X"00" (blanks would be part of it).
       01  XEL-HOST-FILE            PIC X(260).
      * Terminal file names, at most 8 characters. APDEL00B takes them
      * blank-padded; APUPL00B and APDNLOAD need X"00" after the name.
       01  XEL-TERMINAL-FILE        PIC X(9).
      * APUPL00B: "1" deletes the file on the terminal afterwards;
      * APDNLOAD: "1" replaces the terminal's file, else appends.
       01  XEL-FLAG                 PIC X.
      * APDSPPGE: segment and page, 4 and 2 hexadecimal characters,
      * each followed by X"00".
       01  XEL-SEGMENT              PIC X(5).
       01  XEL-PAGE                 PIC X(3).
