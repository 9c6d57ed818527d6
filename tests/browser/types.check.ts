// Compiled, never run: the declarations accept what a page author writes
// and refuse what the service would not understand.
import { DorventClient, DorventError, Replies, resultCode } from "dorvent";

async function use(client: DorventClient): Promise<void> {
  await client.ensureOpen();
  const atr: string | undefined = (await client.call("cardClodPowerOn", { slotNo: "1" })).data;
  const card = await client.call("readIDCardEX");
  const fields: string[] = [card.name, card.number, card.photoBase64, card.passNu];
  const fingerprints: string | undefined = card.figData;
  const nothing: null = await client.call("ctnFingerPrint");
  const sci: Replies["readSci"] = await client.call("readSci", { slotNo: 11 });
  const version: number = (await client.version({ timeoutMs: 500 })).success;
  await client.call("scardRead", { outTime: "10", mgNum: "4" }, { raw: true });
  const future: unknown = (await client.callAny("someFutureAction", { anything: "1" })).anything;
  const never: null = await client.callAny("collectFingerPrint");
  await client.call("beep", {}, { onSend: (text) => text.includes("_tflag") });
  client.on("reconnect", (event) => event.message.length);
  client.on("readergone", (event) => event.reply.success === -31 && event.action.length);
  const status = await client.status();
  const present: boolean | null = status.readerPresent;
  const opened: boolean = status.readerOpen;
  const since: string = status.readerOpenedAt;
  void [atr, fields, fingerprints, nothing, sci.cardveVrsion, version, future, never, present, opened, since, client.readerGone];

  // @ts-expect-error a misspelt action name (readIDCard)
  await client.call("readIdCard");
  // @ts-expect-error a misspelt action name, with fields
  await client.call("cardrun", { slotNo: "1", apdu: "00" });

  // @ts-expect-error cardRun needs its apdu
  await client.call("cardRun", { slotNo: "1" });
  // @ts-expect-error the identity-card reply has no such field
  void (await client.call("readIDCard")).address;
  // @ts-expect-error values are text or numbers
  await client.call("cardm1Read", { addr: { block: 4 } });
  // @ts-expect-error whether the reader is there is no text
  void ((await client.status()).readerPresent satisfies string);
}

function explain(error: unknown): string {
  if (error instanceof DorventError && error.kind === "closed")
    return `closed with ${error.closeCode}`;
  if (error instanceof DorventError && error.kind === "failed")
    return `${error.code} ${error.name}: ${error.meaning} / ${error.meaningZh}; ${error.advice} ${error.statusWord ?? ""}`;
  if (typeof error === "number")
    return resultCode(error).advice;
  return String(error);
}

void [use, explain];
